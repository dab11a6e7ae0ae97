#pragma once

#include "core/HostServices.h"

#include <span>
#include <string>
#include <string_view>

namespace kt {

enum class CommandLineAction { Run, Help, Version, UsageError };

struct CommandLineChoice {
    CommandLineAction Action = CommandLineAction::Run;
    // For UsageError: the first argument not understood.
    std::string Offending;
};

// The Windows program's arguments, after its own name: --help (-h, /?), --version (-v), or
// nothing. Anything else is a usage error, even beside a known option.
CommandLineChoice ParseWindowsArguments(std::span<const std::string> arguments);

// What --version prints: "Korvan Tessivo 1.0 Build 15" for this build.
std::string VersionText(const VersionInfo& version);
// The usage, one line per option, under the program's file name (its folders left off).
std::string UsageText(std::string_view programPath);
// What a usage error prints: what was not understood, then the usage.
std::string UsageErrorText(std::string_view programPath, std::string_view offending);

} // namespace kt
