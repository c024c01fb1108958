#include "shell/AgentStatusText.h"

#include "res/Resource.h"

TrayLook TrayLookFor(int32_t registerStatus, int32_t agentStatus) {
    // Not registered overrides whatever the agent says about itself.
    if (registerStatus == 0)
        return {IDI_AGENT_PROBLEM, 7041};
    switch (agentStatus) {
    case 1:
        return {IDI_AGENT_NORMAL, 7051};
    case 2:
        return {IDI_AGENT_LOGGED_OFF, 7045};
    case 4:
        return {IDI_AGENT_DISABLED, 7043};
    case 8:
        return {IDI_AGENT_PROBLEM, 7041};
    case 16:
        return {IDI_AGENT_PROBLEM, 7042};
    case 32:
        return {IDI_AGENT_PROBLEM, 7044};
    case 2048:
        return {IDI_AGENT_PROBLEM, 7053};
    default:
        return {IDI_AGENT_PROBLEM, 7040};
    }
}
