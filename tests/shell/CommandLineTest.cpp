// The program's command line: its own options, Qt's passed through, and what
// is refused.

#include "shell/CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLineTest, OptionsAndMistakes) {
    using Action = CommandLine::Action;
    struct Case {
        std::vector<std::string> arguments;
        Action action;
        bool configure;
        const char* error;
    };
    const Case cases[] = {
        {{}, Action::Run, false, ""},
        {{"--configure"}, Action::Run, true, ""},
        {{"--configure", "--configure"}, Action::Run, true, ""},
        {{"--help"}, Action::Help, false, ""},
        {{"-h", "--configure"}, Action::Help, true, ""},
        {{"--version"}, Action::Version, false, ""},
        // --help wins whichever comes first.
        {{"--version", "--help"}, Action::Help, false, ""},
        {{"--help", "--version"}, Action::Help, false, ""},
        {{"--window", "--configure"}, Action::Run, true, ""},
        // Qt's options, in the forms QApplication reads them.
        {{"-platform", "xcb", "--configure"}, Action::Run, true, ""},
        {{"--platform", "offscreen"}, Action::Run, false, ""},
        {{"-style=fusion", "-reverse"}, Action::Run, false, ""},
        {{"--configure", "-display", ":7"}, Action::Run, true, ""},
        // The value of a Qt option is not taken for an option of ours.
        {{"-platform", "--configure"}, Action::Run, false, ""},
        {{"--configur"}, Action::Error, false, "unknown option '--configur'"},
        {{"--configure=yes"}, Action::Error, false, "unknown option '--configure=yes'"},
        {{"-c"}, Action::Error, false, "unknown option '-c'"},
        {{"-reverse=1"}, Action::Error, false, "unknown option '-reverse=1'"},
        {{"--help", "--bogus"}, Action::Error, false, "unknown option '--bogus'"},
        {{"configure"}, Action::Error, false, "unexpected argument 'configure'"},
        {{"-"}, Action::Error, false, "unexpected argument '-'"},
        {{""}, Action::Error, false, "unexpected argument ''"},
        {{"--configure", "-style"}, Action::Error, true, "option '-style' needs a value"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments)
            joined += "[" + a + "]";
        const CommandLine parsed = ParseCommandLine(c.arguments);
        EXPECT_EQ(parsed.action, c.action) << joined;
        EXPECT_EQ(parsed.error, c.error) << joined;
        if (c.action != Action::Error) {
            EXPECT_EQ(parsed.configure, c.configure) << joined;
        }
    }
}

TEST(CommandLineTest, WindowIsAFlagOfItsOwn) {
    EXPECT_TRUE(ParseCommandLine({"--window"}).window);
    EXPECT_FALSE(ParseCommandLine({"--configure"}).window);
}

TEST(CommandLineTest, HelpNamesTheProgramAndEveryOption) {
    const std::string help = CommandLineHelp("/usr/bin/opal-agent-setting");
    EXPECT_EQ(help.rfind("Usage: /usr/bin/opal-agent-setting [--configure] [--window]\n", 0), 0u);
    for (const char* option : {"--configure", "--window", "--version", "--help", "-h"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

} // namespace
