#pragma once
// What the tray shows for the agent's published status: the icon and the
// string of the tip. The command line's status prints the same text.

#include <cstdint>

struct TrayLook {
    unsigned iconId;
    unsigned tipId;
};
TrayLook TrayLookFor(int32_t registerStatus, int32_t agentStatus);

// The tip is a 128-unit field with its terminator.
inline constexpr unsigned TRAY_TIP_CHARS = 127;
