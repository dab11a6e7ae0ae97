#pragma once

// The program's surroundings, reduced to what a benchmark needs: a store that keeps nothing and
// a host without a window whose sleep really sleeps.

#include "core/HostServices.h"
#include "core/SettingsStore.h"

#include <chrono>
#include <string>
#include <thread>

namespace kt::bench {

class NullStore : public SettingsStore {
public:
    std::string Read(std::string_view, std::string_view, std::string_view,
                     std::string_view fallback) override {
        return std::string(fallback);
    }
    bool Write(std::string_view, std::string_view, std::string_view, std::string_view) override {
        return true;
    }
};

class QuietHost : public HostServices {
public:
    bool PreviousInstance() override { return false; }
    std::string ApplicationFolder() override { return "/"; }
    MessageAnswer ShowMessage(std::string_view, MessageButtons) override {
        return MessageAnswer::Ok;
    }
    void DoEvents() override {}
    void Sleep(int32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    bool ShellOpen(std::string_view) override { return false; }
    void End() override {}
};

} // namespace kt::bench
