#pragma once
// The system helper's service: the object on the system bus, the polkit
// check of each call and the writes, over the same configuration code the
// tool saves with. See HelperProtocol.h for the interface.

#include <cstdint>
#include <string>

struct HelperOptions {
    // Where the agent's documents and registry values are; the build's own
    // unless the helper was started by a test with options.
    std::string programDirectory;
    std::string registryRoot;
    // The helper ends after this long without a call; D-Bus activation
    // starts it again for the next one.
    uint64_t idleTimeoutUsec = 30ULL * 1000 * 1000;
};

// Serves until idle or until the bus goes; the process's exit status.
int RunHelperService(const HelperOptions& options);
