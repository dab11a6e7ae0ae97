#pragma once

#include "core/HostServices.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

std::string ErrorReportText(std::string_view procedure, int32_t number,
                            std::string_view description);

// The one run-time error box: procedure, ": error ", number, ": ", description; OK only.
void ReportError(HostServices& host, std::string_view procedure, int32_t number,
                 std::string_view description);

} // namespace kt
