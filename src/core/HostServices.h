#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

inline constexpr std::string_view ApplicationTitle = "Korvan Tessivo";

enum class MessageButtons { Ok, OkCancel };
enum class MessageAnswer { Ok, Cancel };

struct VersionInfo {
    std::string ProductName = "Korvan Tessivo";
    int32_t Major = 1;
    int32_t Minor = 0;
    int32_t Revision = 15;
};

// What the program needs of its host: runtime, message boxes and the message pump.
class HostServices {
public:
    virtual ~HostServices() = default;
    virtual bool PreviousInstance() = 0;
    virtual std::string ApplicationFolder() = 0;
    // What ends a folder's path: a backslash on Windows.
    virtual char PathSeparator() const { return '\\'; }
    virtual VersionInfo Version() { return {}; }
    // Shows text under the application title and waits; window messages keep being delivered.
    virtual MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) = 0;
    // Processes every pending window message, then returns.
    virtual void DoEvents() = 0;
    virtual void Sleep(int32_t milliseconds) = 0;
    // Fire and forget: the shell's "Open" verb on a file or web address.
    virtual void ShellOpen(std::string_view target) = 0;
    virtual void End() = 0;
};

} // namespace kt
