#include "tests/comm/CommTestHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>

#include <gtest/gtest.h>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace commtest {

namespace {

using Clock = std::chrono::steady_clock;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

// Daemons that drop privileges when started by root need their files
// reachable by the unprivileged user too.
void OpenUp(const fs::path& directory) {
    std::error_code ec;
    fs::permissions(directory, fs::perms::all, fs::perm_options::add, ec);
}

} // namespace

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------

bool ChildProcess::Start(const std::vector<std::string>& argv, const fs::path& output) {
    Stop();
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const std::string outputPath = output.string();

    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::setpgid(0, 0);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in >= 0)
            ::dup2(in, 0);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    m_pid = pid;
    return true;
}

bool ChildProcess::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (m_pid <= 0)
        return;
    ::kill(-m_pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    bool exited = false;
    while (Clock::now() < deadline) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno == ECHILD)) {
            exited = true;
            break;
        }
        SleepMs(20);
    }
    // Whatever the leader left behind in its group goes too.
    ::kill(-m_pid, SIGKILL);
    if (!exited) {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
}

// ---------------------------------------------------------------------------

uint16_t FindFreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool WaitForListener(const std::string& host, uint16_t port, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        const bool connected =
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        if (connected)
            return true;
        SleepMs(20);
    }
    return false;
}

// ---------------------------------------------------------------------------

std::optional<TestCertificates> TestCertificates::Make(const fs::path& directory,
                                                       const std::string& clientPassword) {
    const std::string script = std::string(OPAL_COMM_TEST_DIR) + "/make_test_certs.sh";
    ChildProcess process;
    fs::create_directories(directory);
    const fs::path output = directory / "make_test_certs.out";
    if (!process.Start({"/bin/sh", script, directory.string(), clientPassword}, output))
        return std::nullopt;
    // The script runs in well under a second; wait for it as for any child.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (process.Running() && Clock::now() < deadline)
        SleepMs(20);
    process.Stop();
    if (!fs::exists(directory / "client-truncated.p12"))
        return std::nullopt;
    return TestCertificates{directory};
}

// ---------------------------------------------------------------------------

std::optional<std::string> RecordedRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : Headers)
        if (::strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return std::nullopt;
}

bool ServletServer::Start(const fs::path& workDirectory, const ServletOptions& options) {
    m_recordDir = workDirectory / "requests";
    fs::create_directories(m_recordDir);
    const fs::path portFile = workDirectory / "servlet.port";
    fs::remove(portFile);

    std::vector<std::string> argv = {
        OPAL_PYTHON3,   std::string(OPAL_COMM_TEST_DIR) + "/servlet_server.py",
        "--port-file",  portFile.string(),
        "--record-dir", m_recordDir.string(),
        "--port",       std::to_string(options.Port),
        "--status",     std::to_string(options.Status),
        "--body",       options.Body,
        "--code",       std::to_string(options.Code),
        "--length",     std::to_string(options.Length),
        "--delay",      std::to_string(options.DelaySeconds),
        "--auth",       options.Auth,
        "--user",       options.User,
        "--password",   options.Password};
    if (!options.ServerHeader.empty())
        argv.insert(argv.end(), {"--server-header", options.ServerHeader});
    if (options.Tls != nullptr) {
        argv.insert(argv.end(),
                    {"--cert", options.Tls->File(options.Certificate + ".pem").string(), "--key",
                     options.Tls->File(options.Certificate + ".key").string()});
        if (options.Tls12)
            argv.insert(argv.end(), {"--tls-max", "1.2"});
        if (options.RequireClientCert)
            argv.insert(argv.end(), {"--client-ca", options.Tls->File("ca.pem").string()});
    }
    if (!m_process.Start(argv, workDirectory / "servlet.log"))
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline) {
        if (fs::exists(portFile)) {
            m_port = static_cast<uint16_t>(std::atoi(ReadText(portFile).c_str()));
            return m_port != 0;
        }
        if (!m_process.Running())
            return false;
        SleepMs(20);
    }
    return false;
}

std::vector<RecordedRequest> ServletServer::Requests() const {
    std::vector<RecordedRequest> requests;
    for (int n = 1;; ++n) {
        char base[16];
        std::snprintf(base, sizeof(base), "%04d", n);
        const fs::path meta = m_recordDir / (std::string(base) + ".meta");
        if (!fs::exists(meta))
            break;
        RecordedRequest request;
        std::istringstream lines(ReadText(meta));
        std::string line;
        while (std::getline(lines, line)) {
            const auto space = line.find(' ');
            const std::string key = line.substr(0, space);
            const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
            if (key == "method")
                request.Method = value;
            else if (key == "path")
                request.Path = value;
            else if (key == "peer")
                request.PeerAddress = value.substr(0, value.find(' '));
            else if (key == "authorized")
                request.Authorized = value == "1";
            else if (key == "tls-error")
                request.TlsError = value.empty() ? "?" : value;
            else if (key == "header") {
                const auto colon = value.find(": ");
                request.Headers.emplace_back(value.substr(0, colon), colon == std::string::npos
                                                                         ? ""
                                                                         : value.substr(colon + 2));
            }
        }
        request.Body = ReadText(m_recordDir / (std::string(base) + ".body"));
        requests.push_back(std::move(request));
    }
    return requests;
}

// ---------------------------------------------------------------------------

bool TinyProxy::Start(const fs::path& workDirectory, const std::string& user,
                      const std::string& password, uint16_t port) {
    const fs::path directory = workDirectory / "tinyproxy";
    fs::create_directories(directory);
    OpenUp(directory);
    m_log = directory / "tinyproxy.log";
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = port != 0 ? port : FindFreePort();
        std::string config = "Port " + std::to_string(m_port) +
                             "\n"
                             "Listen 127.0.0.1\n"
                             "Bind " +
                             std::string(kOutgoingAddress) +
                             "\n"
                             "Timeout 30\n"
                             "LogFile \"" +
                             m_log.string() +
                             "\"\n"
                             "LogLevel Info\n"
                             "MaxClients 20\n"
                             "Allow 127.0.0.1\n";
        if (!user.empty())
            config += "BasicAuth " + user + " " + password + "\n";
        const fs::path configFile = directory / "tinyproxy.conf";
        WriteText(configFile, config);
        if (!m_process.Start({OPAL_TINYPROXY, "-d", "-c", configFile.string()},
                             directory / "tinyproxy.out"))
            return false;
        if (WaitForListener("127.0.0.1", m_port, 5000) && m_process.Running())
            return true;
        m_process.Stop();
        if (port != 0)
            break;
    }
    return false;
}

std::string TinyProxy::Log() const {
    return ReadText(m_log);
}

bool DanteProxy::Start(const fs::path& workDirectory, bool preferUserMethod) {
    const fs::path directory = workDirectory / "dante";
    fs::create_directories(directory);
    OpenUp(directory);
    m_log = directory / "danted.log";
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FindFreePort();
        // debug 1 makes dante log the user id of each SOCKS 4 request.
        std::string config = "debug: 1\n"
                             "logoutput: " +
                             m_log.string() +
                             "\n"
                             "internal: 127.0.0.1 port = " +
                             std::to_string(m_port) +
                             "\n"
                             "external: " +
                             kOutgoingAddress +
                             "\n"
                             "clientmethod: none\n";
        config += preferUserMethod ? "socksmethod: username none\n" : "socksmethod: none\n";
        if (::geteuid() == 0)
            config += "user.privileged: root\nuser.unprivileged: nobody\n";
        config += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect disconnect error }\n"
                  "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect disconnect error }\n";
        const fs::path configFile = directory / "danted.conf";
        WriteText(configFile, config);
        if (!m_process.Start({OPAL_DANTED, "-f", configFile.string(), "-p",
                              (directory / "danted.pid").string(), "-N", "1"},
                             directory / "danted.out"))
            return false;
        if (WaitForListener("127.0.0.1", m_port, 5000) && m_process.Running())
            return true;
        m_process.Stop();
    }
    return false;
}

std::string DanteProxy::Log() const {
    return ReadText(m_log);
}

bool SquidProxy::Start(const fs::path& workDirectory, const std::string& user,
                       const std::string& password) {
    m_directory = workDirectory / "squid";
    const fs::path& d = m_directory;
    fs::create_directories(d);
    OpenUp(d);
    // squid opens its logs after it has become its own user (proxy, when
    // started as root): the way to its directory must let that user through.
    std::error_code ec;
    for (fs::path up = workDirectory;
         up.has_relative_path() &&
         (fs::status(up, ec).permissions() & fs::perms::others_exec) == fs::perms::none;
         up = up.parent_path())
        fs::permissions(up, fs::perms::others_exec, fs::perm_options::add, ec);
    // The htpasswd line from openssl's APR1 hash, the password read from a
    // file rather than the command line.
    const fs::path plain = d / "password.txt";
    WriteText(plain, password + "\n");
    const fs::path hashed = d / "password.apr1";
    const std::string command =
        "openssl passwd -apr1 -in '" + plain.string() + "' > '" + hashed.string() + "'";
    if (std::system(command.c_str()) != 0)
        return false;
    std::string hash = ReadText(hashed);
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
        hash.pop_back();
    fs::remove(plain);
    fs::remove(hashed);
    WriteText(d / "htpasswd", user + ":" + hash + "\n");
    WriteText(d / "digest.passwd", user + ":" + password + "\n");
    for (const char* file : {"htpasswd", "digest.passwd"})
        fs::permissions(d / file, fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
    const std::string helpers = OPAL_SQUID_HELPERS;
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FindFreePort();
        const std::string config =
            "http_port 127.0.0.1:" + std::to_string(m_port) + "\n" + "pid_filename " +
            (d / "squid.pid").string() + "\n" + "cache_log " + (d / "cache.log").string() + "\n" +
            "access_log stdio:" + (d / "access.log").string() + "\n" +
            "cache_store_log none\n"
            "cache deny all\n"
            "cache_mem 1 MB\n"
            "coredump_dir " +
            d.string() + "\n" +
            "netdb_filename none\n"
            "pinger_enable off\n"
            "shutdown_lifetime 0 seconds\n"
            "tcp_outgoing_address " +
            kOutgoingAddress + "\n" + "auth_param ntlm program " + helpers +
            "/ntlm_fake_auth\n"
            "auth_param ntlm children 2\n"
            "auth_param digest program " +
            helpers + "/digest_file_auth " + (d / "digest.passwd").string() + "\n" +
            "auth_param digest children 2\n"
            "auth_param digest realm opal-squid\n"
            "auth_param basic program " +
            helpers + "/basic_ncsa_auth " + (d / "htpasswd").string() + "\n" +
            "auth_param basic children 2\n"
            "auth_param basic realm opal-squid\n"
            "acl loopback src 127.0.0.0/8\n"
            "acl known proxy_auth REQUIRED\n"
            "http_access deny !loopback\n"
            "http_access allow known\n"
            "http_access deny all\n";
        const fs::path configFile = d / "squid.conf";
        WriteText(configFile, config);
        if (!m_process.Start({OPAL_SQUID, "-N", "-f", configFile.string()}, d / "squid.out"))
            return false;
        if (WaitForListener("127.0.0.1", m_port, 10000) && m_process.Running())
            return true;
        m_process.Stop();
    }
    return false;
}

std::string SquidProxy::Logs() const {
    return ReadText(m_directory / "access.log") + ReadText(m_directory / "cache.log") +
           ReadText(m_directory / "squid.out");
}

bool MicroSocks::Start(const fs::path& workDirectory, const std::string& user,
                       const std::string& password) {
    const fs::path directory = workDirectory / "microsocks";
    fs::create_directories(directory);
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FindFreePort();
        if (!m_process.Start({OPAL_MICROSOCKS, "-i", "127.0.0.1", "-p", std::to_string(m_port),
                              "-u", user, "-P", password, "-b", kOutgoingAddress},
                             directory / "microsocks.out"))
            return false;
        if (WaitForListener("127.0.0.1", m_port, 5000) && m_process.Running())
            return true;
        m_process.Stop();
    }
    return false;
}

// ---------------------------------------------------------------------------

void WriteSysConfig(const fs::path& home, const std::string& guid, int pluginType) {
    WriteText(home / "AgentSysConfig.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "<AgentSysConfig>\r\n"
              "<AgentGUID>" +
                  guid +
                  "</AgentGUID>\r\n"
                  "<AgentName>Test Agent</AgentName>\r\n"
                  "<Version>4.1</Version>\r\n"
                  "<ServicePackVersion>0</ServicePackVersion>\r\n"
                  "<Build>7</Build>\r\n"
                  "<Language>0</Language>\r\n"
                  "<HomeDirectory>" +
                  home.string() +
                  "</HomeDirectory>\r\n"
                  "<AgentServiceName>opal-agent</AgentServiceName>\r\n"
                  "<AgentServiceDispName>Opal Agent</AgentServiceDispName>\r\n"
                  "<PluginDllName>libplugin.so</PluginDllName>\r\n"
                  "<PluginUIDllName>libpluginui.so</PluginUIDllName>\r\n"
                  "<AgentType>10</AgentType>\r\n"
                  "<PluginVersion>1</PluginVersion>\r\n"
                  "<PluginSPVersion>0</PluginSPVersion>\r\n"
                  "<PluginHotfixVersion>0</PluginHotfixVersion>\r\n"
                  "<PluginType>" +
                  std::to_string(pluginType) +
                  "</PluginType>\r\n"
                  "</AgentSysConfig>\r\n");
}

const TestCertificates& MadeOnce(std::optional<TestCertificates>& cache, const fs::path& directory,
                                 const std::string& clientPassword) {
    if (!cache)
        cache = TestCertificates::Make(directory, clientPassword);
    if (!cache)
        ADD_FAILURE() << "openssl could not make the test certificates";
    return *cache;
}

ConnectionTestSettings LoopbackSettings(uint16_t port, const std::u16string& servicePath,
                                        int32_t timeOutSeconds) {
    ConnectionTestSettings s;
    s.ServerName = u"127.0.0.1";
    s.ServerPort = port;
    s.ServiceURI = servicePath;
    s.ConnTimeOut = timeOutSeconds;
    return s;
}

bool NginxClientCertServer::Start(const fs::path& workDirectory,
                                  const TestCertificates& certificates) {
    const fs::path dir = workDirectory / "nginx";
    fs::create_directories(dir / "temp");
    m_port = FindFreePort();
    // Every path of its own, so that nothing of the machine's nginx is used.
    std::ofstream config(dir / "nginx.conf");
    config << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
           << "pid " << (dir / "nginx.pid").string() << ";\n"
           << "error_log " << (dir / "error.log").string() << " info;\n"
           << "events { worker_connections 16; }\n"
           << "http {\n  access_log off;\n"
           << "  client_body_temp_path " << (dir / "temp").string() << ";\n"
           << "  server {\n    listen 127.0.0.1:" << m_port << " ssl;\n"
           << "    ssl_certificate " << certificates.File("server.pem").string() << ";\n"
           << "    ssl_certificate_key " << certificates.File("server.key").string() << ";\n"
           << "    ssl_client_certificate " << certificates.File("ca.pem").string() << ";\n"
           << "    ssl_verify_client on;\n"
           << "    location / { return 200 \"client certificate accepted\\n\"; }\n"
           << "  }\n}\n";
    config.close();
    if (!m_process.Start({OPAL_NGINX, "-p", dir.string(), "-c", (dir / "nginx.conf").string(), "-e",
                          (dir / "error.log").string()},
                         dir / "nginx.out"))
        return false;
    return WaitForListener("127.0.0.1", m_port, 15000);
}

} // namespace commtest
