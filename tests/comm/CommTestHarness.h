#pragma once
// Real network peers for the transfer tests, all on loopback and all stopped
// when their object goes: the servlet test server (HTTP or HTTPS), Debian's
// proxies (tinyproxy, dante, microsocks) and certificates made with the
// openssl command.
//
// Each proxy makes its outgoing connections from an address of its own in
// 127.0.0.0/8, so a request that the server sees arriving from that address
// has certainly gone through that proxy.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "comm/ConfigureAgent4VSM.h"

namespace commtest {

namespace fs = std::filesystem;

// A child process in a process group of its own, ended (TERM, then KILL)
// together with everything it started when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // stdout and stderr go to `output`.
    bool Start(const std::vector<std::string>& argv, const fs::path& output);
    bool Running();
    void Stop();

private:
    pid_t m_pid = -1;
};

// A port on 127.0.0.1 that nothing listens on at the moment of the call.
uint16_t FindFreePort();
// Whether something accepts connections on address:port within the time.
bool WaitForListener(const std::string& address, uint16_t port, int timeoutMs);

struct TestCertificates {
    // Runs make_test_certs.sh into `directory`.
    static std::optional<TestCertificates> Make(const fs::path& directory,
                                                const std::string& clientPassword);
    fs::path File(const std::string& name) const { return Directory / name; }
    fs::path Directory;
};

// The certificates of `cache`, made into `directory` at the first call; a
// failure to make them fails the test.
const TestCertificates& MadeOnce(std::optional<TestCertificates>& cache, const fs::path& directory,
                                 const std::string& clientPassword);

// The connection test aimed at a plain HTTP servlet on loopback.
ConnectionTestSettings LoopbackSettings(uint16_t port, const std::u16string& servicePath,
                                        int32_t timeOutSeconds);

struct ServletOptions {
    int Status = 200;
    std::string Body = "framed"; // framed, empty or bytes
    uint32_t Code = 0;           // result code of a framed body
    int Length = 94;             // body length (framed and bytes)
    double DelaySeconds = 0;
    const TestCertificates* Tls = nullptr; // HTTPS with server.pem
    std::string Certificate = "server";    // <name>.pem and <name>.key of Tls
    bool RequireClientCert = false;
    bool Tls12 = false;        // at most TLS 1.2
    std::string Auth = "none"; // none, basic, digest
    std::string User;
    std::string Password;
    uint16_t Port = 0;        // 0: an ephemeral one
    std::string ServerHeader; // the Server header's value; empty: Python's own
};

struct RecordedRequest {
    std::string Method;
    std::string Path;
    std::string PeerAddress;
    bool Authorized = false;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
    std::string TlsError; // set for a failed handshake, everything else empty
    // The first header of that name (case-insensitive), or nullopt.
    std::optional<std::string> Header(const std::string& name) const;
};

class ServletServer {
public:
    bool Start(const fs::path& workDirectory, const ServletOptions& options);
    uint16_t Port() const { return m_port; }
    // Everything recorded so far, in arrival order.
    std::vector<RecordedRequest> Requests() const;
    void Stop() { m_process.Stop(); }

private:
    ChildProcess m_process;
    fs::path m_recordDir;
    uint16_t m_port = 0;
};

class TinyProxy {
public:
    static constexpr char kOutgoingAddress[] = "127.0.0.3";
    // With a user, the proxy demands Basic authentication.
    bool Start(const fs::path& workDirectory, const std::string& user = {},
               const std::string& password = {}, uint16_t port = 0);
    uint16_t Port() const { return m_port; }
    std::string Log() const;

private:
    ChildProcess m_process;
    fs::path m_log;
    uint16_t m_port = 0;
};

class DanteProxy {
public:
    static constexpr char kOutgoingAddress[] = "127.0.0.2";
    // Serves SOCKS 4 and SOCKS 5 without authentication. With
    // `preferUserMethod`, a SOCKS 5 client that offers user/password
    // authentication is held to it (against the system's users).
    bool Start(const fs::path& workDirectory, bool preferUserMethod = false);
    uint16_t Port() const { return m_port; }
    std::string Log() const;

private:
    ChildProcess m_process;
    fs::path m_log;
    uint16_t m_port = 0;
};

class MicroSocks {
public:
    static constexpr char kOutgoingAddress[] = "127.0.0.4";
    // SOCKS 5 demanding the user and password.
    bool Start(const fs::path& workDirectory, const std::string& user, const std::string& password);
    uint16_t Port() const { return m_port; }

private:
    ChildProcess m_process;
    uint16_t m_port = 0;
};

// nginx as an HTTPS server that demands a client certificate signed by the
// test CA (ssl_verify_client on): without one, or with another, it finishes
// the handshake and answers every request with 400; with one it answers 200.
class NginxClientCertServer {
public:
    bool Start(const fs::path& workDirectory, const TestCertificates& certificates);
    uint16_t Port() const { return m_port; }

private:
    ChildProcess m_process;
    uint16_t m_port = 0;
};

// squid as an HTTP proxy that demands a login of `user` by Basic
// (basic_ncsa_auth over an htpasswd file made here), Digest
// (digest_file_auth) and NTLM (ntlm_fake_auth, which takes any password),
// offering all three. Foreground (-N), its own port, directory, config and
// pid file; no cache.
class SquidProxy {
public:
    static constexpr char kOutgoingAddress[] = "127.0.0.5";
    bool Start(const fs::path& workDirectory, const std::string& user, const std::string& password);
    uint16_t Port() const { return m_port; }
    // access.log, cache.log and what squid printed.
    std::string Logs() const;

private:
    ChildProcess m_process;
    fs::path m_directory;
    uint16_t m_port = 0;
};

// The agent's system configuration with the identity the request carries.
void WriteSysConfig(const fs::path& home, const std::string& guid, int pluginType);

std::string ReadText(const fs::path& file);

} // namespace commtest
