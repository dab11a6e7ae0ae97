#include "core/ErrorReport.h"

namespace kt {

std::string ErrorReportText(std::string_view procedure, int32_t number,
                            std::string_view description) {
    std::string text(procedure);
    text += ": error ";
    text += std::to_string(number);
    text += ": ";
    text += description;
    return text;
}

void ReportError(HostServices& host, std::string_view procedure, int32_t number,
                 std::string_view description) {
    host.ShowMessage(ErrorReportText(procedure, number, description), MessageButtons::Ok);
}

} // namespace kt
