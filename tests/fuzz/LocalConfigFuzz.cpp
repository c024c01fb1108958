// The local-configuration loader over arbitrary file contents. A load never
// changes the file; whatever it loaded can be saved into that same file and
// reads back as it was saved.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/ASTCommonFunc.h"
#include "config/AgentConfig.h"
#include "config/DebugConfig.h"

namespace {

// A home directory of its own, removed at exit. The path is never freed, so
// the exit handler can still read it.
const std::string& Home() {
    static const std::string* home = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/opal-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        SetModuleDirectoryForTesting(pattern);
        std::atexit([] { std::filesystem::remove_all(Home()); });
        return new std::string(pattern + "/");
    }();
    return *home;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
        std::abort();
}

// The values SaveNetworkConfig writes; the rest of the file is kept as it is.
bool SameSavedValues(const NetworkConfigRecord& a, const NetworkConfigRecord& b) {
    return a.ServerName == b.ServerName && a.ServerPort == b.ServerPort &&
           a.ConnTimeOut == b.ConnTimeOut && a.WaitInterval == b.WaitInterval &&
           a.MAXRetryTimes == b.MAXRetryTimes && a.IsUseHTTPAuth == b.IsUseHTTPAuth &&
           a.HTTPAuthUser == b.HTTPAuthUser && a.HTTPAuthPassword == b.HTTPAuthPassword &&
           a.ServerAuthMethod == b.ServerAuthMethod && a.Sock4 == b.Sock4 && a.Sock5 == b.Sock5 &&
           a.Http == b.Http && a.IsUseHTTPS == b.IsUseHTTPS && a.CACertPath == b.CACertPath &&
           a.RequireClientCert == b.RequireClientCert && a.ClientCertPath == b.ClientCertPath &&
           a.ClientCertPswd == b.ClientCertPswd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = Home() + "AgentLocalConfig.xml";
    WriteAll(path, data, size);
    const std::string original(reinterpret_cast<const char*>(data), size);

    g_networkConfig = NetworkConfigRecord();
    const int loaded = LoadLocalConfig();
    DebugLogConfigRecord debug;
    LoadDebugLogConfig(debug);
    if (ReadAll(path) != original)
        std::abort();
    if (loaded != 0)
        return 0;

    // A record the loader accepted is within its bounds, so saving it and
    // loading again must give the same values back.
    const NetworkConfigRecord saved = g_networkConfig;
    if (SaveNetworkConfig(saved) != 0)
        std::abort();
    g_networkConfig = NetworkConfigRecord();
    if (LoadLocalConfig() != 0 || !SameSavedValues(g_networkConfig, saved))
        std::abort();
    return 0;
}
