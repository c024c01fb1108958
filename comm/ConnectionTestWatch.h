#pragma once
// The connection test's one code path, with a place for the diagnosis to
// look on. Only the test itself and the diagnosis use this; everybody else
// calls RunConnectionTest.

#include <atomic>
#include <cstdint>

#include "comm/ConfigureAgent4VSM.h"
#include "comm/Packet.h"

class CHTTP;
struct ResponseBuffer;

// The configuration steps of InitializeHTTP, to say which one failed.
enum class InitializeStep { None, TimeOut, Tls, CaInfo, ClientCert, Proxy, Server };

// InitializeHTTP, also telling which step gave its non-zero result
// (InitializeStep::None on success).
int32_t InitializeHTTP(CHTTP& http, const ConnectionTestSettings& settings,
                       InitializeStep& failedStep);

class IConnectionTestWatcher {
public:
    virtual ~IConnectionTestWatcher() = default;
    // The transfer object is configured (`result` 0) or its configuration
    // stopped at `failedStep`. Called once, before anything is sent.
    virtual void OnConfigured(CHTTP& http, int32_t result, InitializeStep failedStep) = 0;
    // The answer as the test examined it. Not called when the request body
    // could not be set or the run was cancelled.
    virtual void OnAnswer(const ResponseBuffer& response, ResponseFraming framing) = 0;
};

// RunConnectionTest with `watcher` (may be null) told what happens.
ConnectionTestOutcome RunConnectionTestWatched(const ConnectionTestSettings& settings,
                                               const std::atomic<bool>* cancel,
                                               IConnectionTestWatcher* watcher);
