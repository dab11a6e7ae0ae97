#pragma once

#include "core/HostServices.h"

#include <string>
#include <vector>

namespace kt::test {

// Host services that only remember the messages shown; every message is answered with OK.
class RecordingHost final : public HostServices {
public:
    struct Message {
        std::string Text;
        MessageButtons Buttons;
    };

    bool PreviousInstance() override { return false; }
    std::string ApplicationFolder() override { return "C:\\KorvanTessivo\\"; }
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        Messages.push_back({std::string(text), buttons});
        return MessageAnswer::Ok;
    }
    void DoEvents() override {}
    void Sleep(int32_t) override {}
    void ShellOpen(std::string_view) override {}
    void End() override {}

    std::vector<Message> Messages;
};

} // namespace kt::test
