#pragma once

#include "core/HostServices.h"

#include <string>
#include <vector>

namespace kt {

// Host services that show nothing and remember every message asked for.
class RecordingHost final : public HostServices {
public:
    struct Message {
        std::string Text;
        MessageButtons Buttons;
    };

    bool PreviousInstance() override { return false; }
    std::string ApplicationFolder() override { return "/opt/korvan-tessivo/"; }
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        Messages.push_back({std::string(text), buttons});
        return MessageAnswer::Ok;
    }
    void DoEvents() override {}
    void Sleep(int32_t) override {}
    void ShellOpen(std::string_view target) override { Opened.emplace_back(target); }
    void End() override { Ended = true; }

    std::vector<Message> Messages;
    std::vector<std::string> Opened;
    bool Ended = false;
};

} // namespace kt
