#include "core/CommandLine.h"

#include <algorithm>
#include <array>

namespace kt {

namespace {

struct Option {
    std::array<std::string_view, 3> Names;
    std::string_view Help;
    CommandLineAction Action;
};

constexpr std::array<Option, 2> Options = {{
    {{"--help", "-h", "/?"}, "show this help and exit", CommandLineAction::Help},
    {{"--version", "-v", ""}, "show the version and exit", CommandLineAction::Version},
}};

std::string_view FileName(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool LooksLikeOption(std::string_view argument) {
    return argument.size() > 1 && (argument.front() == '-' || argument.front() == '/');
}

} // namespace

CommandLineChoice ParseWindowsArguments(std::span<const std::string> arguments) {
    CommandLineChoice choice;
    for (const std::string& argument : arguments) {
        const Option* known = nullptr;
        for (const Option& option : Options) {
            for (std::string_view name : option.Names) {
                if (!name.empty() && argument == name) {
                    known = &option;
                }
            }
        }
        if (known == nullptr) {
            return {CommandLineAction::UsageError, argument};
        }
        // Help answers every question, so it wins over the version.
        if (choice.Action != CommandLineAction::Help) {
            choice.Action = known->Action;
        }
    }
    return choice;
}

std::string VersionText(const VersionInfo& version) {
    return version.ProductName + " " + std::to_string(version.Major) + "." +
           std::to_string(version.Minor) + " Build " + std::to_string(version.Revision);
}

std::string UsageText(std::string_view programPath) {
    std::string text = "Usage: " + std::string(FileName(programPath)) + " [option]\n";
    for (const Option& option : Options) {
        std::string names;
        for (std::string_view name : option.Names) {
            if (!name.empty()) {
                names += (names.empty() ? "" : ", ") + std::string(name);
            }
        }
        names.resize(std::max<size_t>(names.size() + 2, 20), ' ');
        text += "  " + names + std::string(option.Help) + "\n";
    }
    text += "Without an option the program starts and guards the connections.\n";
    return text;
}

std::string UsageErrorText(std::string_view programPath, std::string_view offending) {
    const std::string_view what =
        LooksLikeOption(offending) ? "unknown option" : "unexpected argument";
    return std::string(FileName(programPath)) + ": " + std::string(what) + " '" +
           std::string(offending) + "'\n" + UsageText(programPath);
}

} // namespace kt
