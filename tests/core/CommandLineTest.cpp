#include "core/CommandLine.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

TEST(CommandLine, EachArgumentListChoosesOneActionAndTheTextsNameWhatWasAsked) {
    using A = CommandLineAction;
    const struct {
        std::vector<std::string> arguments;
        CommandLineAction action;
        std::string offending;
    } cases[] = {
        {{}, A::Run, ""},
        {{"--help"}, A::Help, ""},
        {{"-h"}, A::Help, ""},
        {{"/?"}, A::Help, ""},
        {{"--version"}, A::Version, ""},
        {{"-v"}, A::Version, ""},
        {{"--version", "-h"}, A::Help, ""},
        {{"--bogus"}, A::UsageError, "--bogus"},
        {{"-v", "stray"}, A::UsageError, "stray"},
        {{"--HELP"}, A::UsageError, "--HELP"},
    };
    for (const auto& c : cases) {
        const CommandLineChoice choice = ParseWindowsArguments(c.arguments);
        EXPECT_EQ(choice.Action, c.action) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(choice.Offending, c.offending) << ::testing::PrintToString(c.arguments);
    }
    // The Linux program prints the same version line from its own version.
    EXPECT_EQ(VersionText({"Some Tool", 2, 7, 301}), "Some Tool 2.7 Build 301");
    EXPECT_EQ(UsageText("C:\\Program Files\\KT\\kt.exe").rfind("Usage: kt.exe [option]\n", 0), 0u);
}

} // namespace
} // namespace kt
