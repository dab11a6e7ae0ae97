// A line as any member of the control group may send it to the service, and as a client reads
// the service's: each is a message or refused with a reason, and never reads past its end.
#include "service/ControlProtocol.h"

#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // libFuzzer's own exact-size buffer: the sanitizer sees any read past the line.
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const kt::ParsedRequest parsed = kt::ParseControlRequest(line);
    if (parsed.request.has_value() == !parsed.error.empty()) {
        std::abort();
    }
    if (parsed.request) {
        if (parsed.request->entry.size() > kt::kControlMaxEntry) {
            std::abort();
        }
        for (const kt::RuleEdit& edit : parsed.request->edits) {
            if (edit.entry.size() > kt::kControlMaxEntry) {
                std::abort();
            }
        }
        // What the client would send for it is read back the same.
        const kt::ParsedRequest again = kt::ParseControlRequest(kt::RequestLine(*parsed.request));
        if (!again.request || again.request->command != parsed.request->command ||
            again.request->entry != parsed.request->entry ||
            again.request->list != parsed.request->list ||
            again.request->id != parsed.request->id ||
            again.request->edits != parsed.request->edits) {
            std::abort();
        }
    }
    kt::ControlMessage message;
    std::string why;
    if (!kt::ParseControlMessage(line, message, why) && why.empty()) {
        std::abort();
    }
    if (message.kind == kt::ControlMessage::Kind::Table &&
        (message.table.first < 0 || message.table.count < 0)) {
        std::abort();
    }
    return 0;
}
