#include "shell/DisplayCheck.h"

#include <map>
#include <sys/stat.h>

#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

EnvironmentLookup Environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end())
            return std::nullopt;
        return found->second;
    };
}

void MakeExecutable(const std::string& path) {
    WriteFileBytes(path, "#!/bin/sh\n");
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

} // namespace

TEST(DisplayCheckTest, WhatIsMissingForThePlatformQtWouldTry) {
    const std::string neither = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    const struct {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
        std::string missing;
    } cases[] = {
        {{}, {}, neither},
        {{}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}, neither},
        {{}, {{"DISPLAY", ":0"}}, ""},
        {{}, {{"WAYLAND_DISPLAY", "wayland-0"}}, ""},
        {{"--configure"}, {}, neither},
        // Qt's own -display names one.
        {{"-display", ":3"}, {}, ""},
        {{"--display=:3"}, {}, ""},
        // Platforms that need no display server.
        {{"-platform", "offscreen"}, {}, ""},
        {{}, {{"QT_QPA_PLATFORM", "offscreen"}}, ""},
        {{}, {{"QT_QPA_PLATFORM", "vnc:size=800x600"}}, ""},
        // One that does, named on the command line or in the environment.
        {{"-platform", "xcb"},
         {{"WAYLAND_DISPLAY", "wayland-0"}},
         "no display: DISPLAY is not set"},
        {{"--platform=wayland"}, {{"DISPLAY", ":0"}}, "no display: WAYLAND_DISPLAY is not set"},
        {{}, {{"QT_QPA_PLATFORM", "wayland-egl"}}, "no display: WAYLAND_DISPLAY is not set"},
        {{}, {{"QT_QPA_PLATFORM", "xcb:nograb"}, {"DISPLAY", ":1"}}, ""},
        {{}, {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":1"}}, ""},
        {{}, {{"QT_QPA_PLATFORM", "wayland;xcb"}}, neither},
        // The command line wins over the environment, as in Qt.
        {{"-platform", "offscreen"}, {{"QT_QPA_PLATFORM", "xcb"}}, ""},
        {{"-platform", "xcb"},
         {{"QT_QPA_PLATFORM", "offscreen"}},
         "no display: DISPLAY is not set"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.arguments)
            shown += a + " ";
        for (const auto& [k, v] : c.environment)
            shown += k + "=" + v + " ";
        EXPECT_EQ(MissingDisplay(c.arguments, Environment(c.environment)), c.missing) << shown;
    }
}

TEST(DisplayCheckTest, AWaylandSessionWithoutQtsWaylandPlugin) {
    const auto onlyXcb = [](const std::string& platform) { return platform == "xcb"; };
    const auto all = [](const std::string&) { return true; };
    const struct {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
        PlatformPluginCheck plugins;
        std::string missing;
    } cases[] = {
        // Qt's default choice, no X server (no Xwayland): the plug-in is named.
        {{}, {{"WAYLAND_DISPLAY", "wayland-0"}}, onlyXcb, NO_WAYLAND_PLUGIN},
        {{}, {{"WAYLAND_DISPLAY", "wayland-0"}}, all, ""},
        // Xwayland is there: Qt falls back on X.
        {{}, {{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}, onlyXcb, ""},
        {{},
         {{"QT_QPA_PLATFORM", "wayland"}, {"WAYLAND_DISPLAY", "wayland-0"}},
         onlyXcb,
         NO_WAYLAND_PLUGIN},
        {{"-platform", "wayland-egl"},
         {{"WAYLAND_DISPLAY", "wayland-0"}},
         onlyXcb,
         NO_WAYLAND_PLUGIN},
        {{},
         {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"WAYLAND_DISPLAY", "w"}, {"DISPLAY", ":0"}},
         onlyXcb,
         ""},
        // Nothing set at all stays what it was.
        {{}, {}, onlyXcb, "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& [k, v] : c.environment)
            shown += k + "=" + v + " ";
        EXPECT_EQ(MissingDisplay(c.arguments, Environment(c.environment), c.plugins), c.missing)
            << shown;
    }
}

TEST(DisplayCheckTest, PlatformPluginsAreFoundByTheirFileNames) {
    TempDir dir;
    const std::string platforms = (dir.Path() / "platforms").string();
    fs::create_directories(platforms);
    WriteFileBytes(platforms + "/libqxcb.so", "");
    WriteFileBytes(platforms + "/libqwayland-egl.so", "");
    const PlatformPluginCheck check = PlatformPluginsIn({"/nonexistent", platforms});
    EXPECT_TRUE(check("xcb"));
    EXPECT_TRUE(check("wayland-egl"));
    EXPECT_FALSE(check("wayland")) << "libqwayland-generic.so";
    WriteFileBytes(platforms + "/libqwayland-generic.so", "");
    EXPECT_TRUE(check("wayland"));
}

TEST(DisplayCheckTest, QtsLastWordsBecomeOneLine) {
    const struct {
        std::vector<std::string> messages;
        std::string line;
    } cases[] = {
        {{"could not connect to display :99",
          "Could not load the Qt platform plugin \"xcb\" in \"\" even though it was found.",
          "This application failed to start because no Qt platform plugin could be "
          "initialized.\n\nAvailable platform plugins are: offscreen, xcb."},
         "cannot connect to display :99"},
        {{"could not connect to display "}, "cannot connect to the display"},
        {{"Failed to create wl_display (No such file or directory)",
          "This application failed to start.\nMore text"},
         "cannot start the user interface: This application failed to start."},
        {{}, "cannot start the user interface: no platform plug-in could start"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DisplayFailure(c.messages), c.line);
}

TEST(DisplayCheckTest, TheCommandLineToolBesideTheProgramOrOnThePath) {
    TempDir temp;
    const std::string program = temp / "program";
    const std::string bin = temp / "bin";
    fs::create_directories(program);
    fs::create_directories(bin);
    const auto path = Environment({{"PATH", "relative:" + bin + "::/nonexistent"}});
    EXPECT_EQ(FindCommandLineTool(program, path), "");

    MakeExecutable(bin + "/opal-agent-ctl");
    EXPECT_EQ(FindCommandLineTool(program, path), bin + "/opal-agent-ctl");
    MakeExecutable(program + "/opal-agent-ctl");
    EXPECT_EQ(FindCommandLineTool(program + "/", path), program + "/opal-agent-ctl")
        << "beside the program first";
    // A file that cannot be run is no tool.
    ASSERT_EQ(::chmod((program + "/opal-agent-ctl").c_str(), 0644), 0);
    ASSERT_EQ(::chmod((bin + "/opal-agent-ctl").c_str(), 0644), 0);
    EXPECT_EQ(FindCommandLineTool(program, path), "");

    EXPECT_EQ(NoDisplayLine("opal-agent-setting", "no display: DISPLAY is not set", ""),
              "opal-agent-setting: no display: DISPLAY is not set\n");
    EXPECT_EQ(NoDisplayLine("p", "cannot connect to display :1", "/usr/bin/opal-agent-ctl"),
              "p: cannot connect to display :1; without a display, use opal-agent-ctl to see and "
              "change the agent's settings\n");
}
