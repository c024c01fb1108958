// The connection test on a worker thread, as the settings sheet runs it,
// while this thread does what the UI and status-monitor threads do at the
// same time: reload the local configuration and the status, write ToolTag,
// encrypt and decrypt passwords, log. Run to its end, and cancelled in each
// phase in which a transfer can hang.

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "comm/ConfigureAgent4VSM.h"
#include "comm/ConnectionDiagnosis.h"
#include "comm/ValueEncryption.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/comm/StringTableFile.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using commtest::ServletOptions;
using commtest::ServletServer;
using commtest::TestCertificates;
using std::chrono::milliseconds;

constexpr char kGuid[] = "0C7A52E9-1D34-4F8B-9E60-A2B3C4D5E6F7";
constexpr char kCertPassword[] = "Thread-Cert-Pw-2231";
constexpr char kStoredPassword[] = "Stored-Server-Pw-8814";
constexpr char kCancelLine[] = "Connection test cancelled by the user. [ConfigureAgent4VSM.cpp|";
// Lines of the decision step and of the examination of the answer; none of
// them belongs in the log of a cancelled test.
constexpr const char* kOutcomeLines[] = {"Failed to do HTTP request.", "Server error code is",
                                         "Response content length is wrong.",
                                         "Response content is invalid."};

int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// A loopback port that takes connections and never says a word: a server or
// proxy stuck in its handshake. With a full backlog not even the TCP
// handshake of a further connection completes, so a client hangs connecting.
class SilentListener {
public:
    ~SilentListener() {
        for (int fd : m_fillers)
            ::close(fd);
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool Start(bool fullBacklog) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 0) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        m_port = ntohs(address.sin_port);
        // Connections nobody accepts fill the queue; the first one whose
        // handshake does not complete shows that it is full.
        while (fullBacklog && m_fillers.size() < 16) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            m_fillers.push_back(fd);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd wait{fd, POLLOUT, 0};
            if (::poll(&wait, 1, 300) == 0)
                return true;
        }
        return !fullBacklog;
    }
    uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    std::vector<int> m_fillers;
    uint16_t m_port = 0;
};

// What one run on the worker thread gave, and what this thread saw meanwhile.
struct ThreadedRun {
    ConnectionTestOutcome Outcome;
    Clock::duration SinceCancel{}; // from raising the flag to the run's end
    int Rounds = 0;                // rounds of UI and monitor work done
    int BadRounds = 0;             // rounds in which something came back wrong
};

class ConnectionTestThreads : public testsupport::AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log.emplace(m_temp.Path() / "setting.log");
        commtest::WriteSysConfig(Home(), kGuid, 3);
        NetworkConfigRecord stored;
        stored.ServerName = u"kestrel.example";
        stored.ServerPort = 8443;
        stored.IsUseHTTPAuth = 1;
        stored.HTTPAuthUser = u"agent";
        stored.HTTPAuthPassword = kStoredPassword;
        ASSERT_EQ(CreateNetworkConfig(stored), 0);
        ASSERT_EQ(CreateStatusData({1, 1, 0, 0, 0}), 0);
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    const TestCertificates& Certs() {
        return commtest::MadeOnce(m_certs, m_temp.Path() / "certs", kCertPassword);
    }
    ConnectionTestSettings Plain(uint16_t port) const {
        return commtest::LoopbackSettings(port, u"/opalCommunicatorServer/DataPortServlet", 300);
    }
    // HTTPS with the root CA in DER and the client certificate in PKCS#12,
    // so that all three PEM files are written by the worker.
    ConnectionTestSettings WithClientCertificate(uint16_t port) {
        ConnectionTestSettings s = Plain(port);
        s.IsUseHTTPS = true;
        s.CACertPath = Wide(Certs().File("ca.der").string());
        s.RequireClientCert = true;
        s.ClientCertPath = Wide(Certs().File("client.p12").string());
        s.ClientCertPswd = Wide(kCertPassword);
        return s;
    }
    ServletOptions Tls(bool requireClientCert) {
        ServletOptions options;
        options.Tls = &Certs();
        options.RequireClientCert = requireClientCert;
        return options;
    }

    // One round of what the other two threads do while a test runs. False
    // when any of it came back wrong.
    static bool UiAndMonitorRound(int round) {
        bool ok = LoadLocalConfig() == 0 && g_networkConfig.HTTPAuthPassword == kStoredPassword;
        AgentStatusRecord status{};
        ok = LoadStatusData(status) == 0 && status.RegisterStatus == 1 && ok;
        ok = SaveToolExitTagReg(0) == 0 && ok;
        const std::string plain = "round-" + std::to_string(round);
        ok = DecryptValue(EncryptValue(plain)) == plain && ok;
        LOG_PRINTF(LK_INFO, "UI thread round %d. [%s|%d]", round);
        return ok;
    }

    // Runs the test on a worker thread and keeps this thread busy until it
    // ends; raises the cancel flag `cancelAfter` into the run, if given (zero:
    // before it starts). With `diagnosis`, the run is the observed one.
    static ThreadedRun RunOnWorker(const ConnectionTestSettings& settings,
                                   std::optional<milliseconds> cancelAfter = std::nullopt,
                                   ConnectionDiagnosis* diagnosis = nullptr) {
        ThreadedRun run;
        std::atomic<bool> cancel{cancelAfter == milliseconds(0)};
        std::atomic<bool> finished{false};
        Clock::time_point ended;
        const Clock::time_point started = Clock::now();
        Clock::time_point cancelledAt = started;
        std::thread worker([&] {
            run.Outcome = diagnosis != nullptr ? RunConnectionTest(settings, &cancel, diagnosis)
                                               : RunConnectionTest(settings, &cancel);
            ended = Clock::now();
            finished = true;
        });
        while (!finished) {
            if (cancelAfter && !cancel && Clock::now() - started >= *cancelAfter) {
                cancelledAt = Clock::now();
                cancel = true;
            }
            if (!UiAndMonitorRound(run.Rounds++))
                ++run.BadRounds;
        }
        worker.join();
        run.SinceCancel = ended - cancelledAt;
        return run;
    }

    std::string Log() const { return m_log->Text(); }

    std::optional<testsupport::LogCapture> m_log;
    std::optional<TestCertificates> m_certs;
};

TEST_F(ConnectionTestThreads, RunsToItsEndBesideTheOtherThreads) {
    struct Case {
        const char* name;
        bool https;
    };
    for (const Case& c : {Case{"http", false}, Case{"https with a client certificate", true}}) {
        SCOPED_TRACE(c.name);
        const fs::path work = m_temp.Path() / (c.https ? "https" : "http");
        fs::create_directories(work);
        ServletServer server;
        ASSERT_TRUE(server.Start(work, c.https ? Tls(true) : ServletOptions{}));
        const ThreadedRun run =
            RunOnWorker(c.https ? WithClientCertificate(server.Port()) : Plain(server.Port()));

        EXPECT_TRUE(run.Outcome.Success);
        EXPECT_FALSE(run.Outcome.Cancelled);
        EXPECT_EQ(run.Outcome.TextId, IDS_CONNTEST_SUCCESS);
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].Body.substr(12, 36), kGuid);
        EXPECT_GT(run.Rounds, 0);
        EXPECT_EQ(run.BadRounds, 0);
        for (const char* pem : {"ZQCAPEM.cer", "ZQClientCert.PEM", "ZQClientCertPW.PEM"})
            EXPECT_EQ(fs::exists(Home() / pem), c.https) << pem;
    }
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, kCancelLine), 0);
    // Every line of either thread arrives whole, with its own line end (the
    // header is one line of its own).
    EXPECT_GT(CountOf(log, "UI thread round "), 0);
    EXPECT_EQ(CountOf(log, "\r\n"), CountOf(log, "\n"));
    EXPECT_EQ(CountOf(log, "\r\n"), CountOf(log, ",[Info],") + CountOf(log, ",[Warning],") +
                                        CountOf(log, ",[Error],") +
                                        CountOf(log, "====== Log file created"));
}

TEST_F(ConnectionTestThreads, CancelEndsEveryPhaseAtOnce) {
    struct Case {
        const char* name;
        std::function<ConnectionTestSettings()> settings;
        milliseconds cancelAfter;
        bool reachesServer;
    };
    ServletServer silentServlet;
    ServletServer silentTlsServlet;
    SilentListener mute;
    SilentListener full;
    ServletOptions slow;
    slow.DelaySeconds = 3000;
    ServletOptions slowTls = Tls(true);
    slowTls.DelaySeconds = 3000;
    fs::create_directories(m_temp.Path() / "slow");
    fs::create_directories(m_temp.Path() / "slow-tls");
    ASSERT_TRUE(silentServlet.Start(m_temp.Path() / "slow", slow));
    ASSERT_TRUE(silentTlsServlet.Start(m_temp.Path() / "slow-tls", slowTls));
    ASSERT_TRUE(mute.Start(false));
    ASSERT_TRUE(full.Start(true));

    const std::vector<Case> cases = {
        {"before the run", [&] { return WithClientCertificate(silentTlsServlet.Port()); },
         milliseconds(0), false},
        {"waiting for the answer", [&] { return Plain(silentServlet.Port()); }, milliseconds(400),
         true},
        {"waiting for the answer over https",
         [&] { return WithClientCertificate(silentTlsServlet.Port()); }, milliseconds(1000), true},
        {"in the TLS handshake", [&] { return WithClientCertificate(mute.Port()); },
         milliseconds(400), false},
        {"in the SOCKS 5 handshake",
         [&] {
             ConnectionTestSettings s = Plain(silentServlet.Port());
             s.ProxyEnabled = true;
             s.ProxyKind = PROXY_KIND_SOCKS5;
             s.ProxyServerName = u"127.0.0.1";
             s.ProxyServerPort = mute.Port();
             return s;
         },
         milliseconds(400), false},
        {"connecting", [&] { return Plain(full.Port()); }, milliseconds(400), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto requestCount = [&] {
            return silentServlet.Requests().size() + silentTlsServlet.Requests().size();
        };
        const std::size_t requestsBefore = requestCount();
        const int cancelLinesBefore = CountOf(Log(), kCancelLine);
        const ThreadedRun run = RunOnWorker(c.settings(), c.cancelAfter);

        EXPECT_TRUE(run.Outcome.Cancelled);
        EXPECT_FALSE(run.Outcome.Success);
        EXPECT_EQ(run.BadRounds, 0);
        EXPECT_LT(run.SinceCancel, milliseconds(500))
            << std::chrono::duration_cast<milliseconds>(run.SinceCancel).count() << " ms";
        // The phase the run was in when the flag went up: the request had
        // reached the server, or not yet.
        EXPECT_EQ(requestCount() - requestsBefore, c.reachesServer ? 1u : 0u);
        EXPECT_EQ(run.Outcome.TransferResult, c.cancelAfter.count() == 0 ? 0 : 42);
        EXPECT_EQ(CountOf(Log(), kCancelLine) - cancelLinesBefore, 1);
    }
    const std::string log = Log();
    for (const char* line : kOutcomeLines)
        EXPECT_EQ(CountOf(log, line), 0) << line;
}

TEST_F(ConnectionTestThreads, ObservedRunsBesideTheOtherThreads) {
    ServletServer server;
    ServletOptions slow = Tls(true);
    ServletServer silent;
    slow.DelaySeconds = 3000;
    fs::create_directories(m_temp.Path() / "tls");
    fs::create_directories(m_temp.Path() / "slow");
    ASSERT_TRUE(server.Start(m_temp.Path() / "tls", Tls(true)));
    ASSERT_TRUE(silent.Start(m_temp.Path() / "slow", slow));

    // To its end, with every step passed.
    ConnectionDiagnosis done;
    const ThreadedRun run = RunOnWorker(WithClientCertificate(server.Port()), std::nullopt, &done);
    EXPECT_TRUE(run.Outcome.Success);
    EXPECT_EQ(run.BadRounds, 0);
    EXPECT_GT(run.Rounds, 0);
    ASSERT_EQ(done.Steps.size(), 6u);
    for (const DiagnosisStep& step : done.Steps)
        EXPECT_EQ(step.Verdict, DiagnosisVerdict::Passed)
            << done.ReportText(commtest::EnglishStrings());
    EXPECT_EQ(done.ReportText(commtest::EnglishStrings()).find(kCertPassword), std::string::npos);

    // Cancelled while it waits for the answer: nothing failed, and the
    // steps before the answer passed.
    ConnectionDiagnosis cancelled;
    const ThreadedRun stopped =
        RunOnWorker(WithClientCertificate(silent.Port()), milliseconds(1000), &cancelled);
    EXPECT_TRUE(stopped.Outcome.Cancelled);
    EXPECT_LT(stopped.SinceCancel, milliseconds(500));
    EXPECT_EQ(stopped.BadRounds, 0);
    EXPECT_EQ(cancelled.FirstFailure(), nullptr)
        << cancelled.ReportText(commtest::EnglishStrings());
    ASSERT_EQ(cancelled.Steps.size(), 6u);
    EXPECT_EQ(cancelled.Steps[2].Kind, DiagnosisStepKind::Tls);
    EXPECT_EQ(cancelled.Steps[2].Verdict, DiagnosisVerdict::Passed)
        << cancelled.ReportText(commtest::EnglishStrings());
    EXPECT_EQ(cancelled.Steps.back().Verdict, DiagnosisVerdict::Skipped);
}

} // namespace
