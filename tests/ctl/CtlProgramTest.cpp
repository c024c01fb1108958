// The real opal-agent-ctl, run as a child process on an agent home and a
// registry root of the test's own, against the loopback servlet server,
// Debian's proxies and the fake systemd.

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "BuildInfo.h"
#include "comm/ValueEncryption.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/platform/system/FakeSystemBus.h"
#include "tests/support/TestSupport.h"

extern char** environ;

using namespace testsupport;

namespace {

constexpr char kGuid[] = "6B1F0E2D-93C4-4A57-B8E6-0D2C4F6A8B10";
constexpr char kServerPassword[] = "SrvPw-Narwhal-9032";
constexpr char kProxyPassword[] = "PxyPw-Axolotl-5518";
constexpr char kCertPassword[] = "CertPw-Quokka-4471";

// The English texts the dialog shows, written out here so that the test
// does not take them from the code it checks.
const std::map<unsigned, std::string> kEnglish = {
    {7000, "[%s] cannot accept an empty string. Enter a valid IP Address or Domain Name."},
    {7001, "[%s] cannot accept an invalid number. Enter a number between 1 and 65535."},
    {7002, "[Kestrel Server] and [Proxy server] cannot have the same configuration. Enter two "
           "different server names or ports."},
    {7004, "[%s] cannot contain illegal character(s):\ncannot accept: "
           "~`!'@# $%^&*()+=|\\{}[]:;\"<,>?/"},
    {7019, "Unable to connect to the server.  It may be invalid settings. Enter valid settings "
           "and try again."},
    {7020, "Connect to the server successfully."},
    {7021, "[%s] cannot enter an empty port number. Enter a valid port number."},
    {7023, "[%s] cannot contain non-digit character(s). Enter a valid number."},
    {7032, "The root CA certificate has not been specified. Please click Settings to specify a "
           "root CA certificate."},
    {7034, "Invalid file path. The root CA certificate file path is blank. Please type a valid "
           "file path and try again."},
    {7036, "The user name field for authenticated access is empty. Please type a valid user name."},
    {7046, "[%s] cannot enter an empty number. Enter a valid number."},
    {7047, "[%s] cannot accept an invalid number. Enter a number between %d and %d."},
    {7051, "Kestrel Agent works normally."},
    {7052, "Unable to communicate with the Kestrel server. The server may be experiencing "
           "problems. If this problem persists, contact Norvale or your reseller."},
};

std::string Message(unsigned id, const std::string& label = {}, int low = 0, int high = 0) {
    std::string text = kEnglish.at(id);
    if (const auto at = text.find("%s"); at != std::string::npos)
        text.replace(at, 2, label);
    for (const int number : {low, high}) {
        if (const auto at = text.find("%d"); at != std::string::npos)
            text.replace(at, 2, std::to_string(number));
    }
    return text;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string MaskPasswords(std::string document) {
    for (std::size_t at = document.find("!CRYPT!"); at != std::string::npos;
         at = document.find("!CRYPT!", at + 1)) {
        document.replace(at, document.find('<', at) - at, "!CRYPT!...");
    }
    return document;
}

std::string StoredValue(const std::string& document, const std::string& element,
                        const std::string& after = {}) {
    const std::size_t from = after.empty() ? 0 : document.find(after);
    const std::string open = "<" + element + ">";
    const std::size_t start = document.find(open, from) + open.size();
    return document.substr(start, document.find("</" + element + ">", start) - start);
}

commtest::ServletOptions Servlet(int status, const std::string& body, uint32_t code) {
    commtest::ServletOptions options;
    options.Status = status;
    options.Body = body;
    options.Code = code;
    return options;
}

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

QJsonObject Parse(const CtlRun& run) {
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << run.out;
    return document.object();
}

class CtlProgramTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        // The program finds its home through its own file.
        m_program = m_home / "opal-agent-ctl";
        std::error_code ec;
        fs::create_hard_link(OPAL_CTL_PROGRAM, m_program, ec);
        if (ec)
            fs::copy_file(OPAL_CTL_PROGRAM, m_program);
        commtest::WriteSysConfig(Home(), kGuid, 3);
        WriteFileBytes(
            HomeFile("AgentWorkConfig.xml"),
            ReadFileBytes(fs::path(OPAL_SOURCE_DIR) / "scripts/demo/AgentWorkConfig.xml"));
        fs::copy_file(DataFile("ui/AgentLocalConfig.xml"), HomeFile("AgentLocalConfig.xml"));
        WriteStatusDocument(0);
        SetAgentRegistryInt(u"ToolTag", 0);
        SetAgentRegistryInt(u"AgentStatus", 1);
    }

    void WriteStatusDocument(int netConfigChanged) {
        WriteFileBytes(
            HomeFile("AgentStatus.xml"),
            "<AgentStatusData><RegisterStatus>1</RegisterStatus><NetConfigChanged>" +
                std::to_string(netConfigChanged) +
                "</NetConfigChanged><MonitorExitTag>0</MonitorExitTag></AgentStatusData>");
    }

    // Runs the program with no display at all; `input` is its standard input.
    CtlRun Ctl(const std::vector<std::string>& args, const std::string& input = {},
               bool unprivileged = false, bool errorOnTerminal = false) {
        const fs::path in = m_temp.Path() / "stdin";
        const fs::path out = m_temp.Path() / "stdout";
        const fs::path err = m_temp.Path() / "stderr";
        WriteFileBytes(in, input);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0 &&
                entry.rfind("QT_QPA_PLATFORM=", 0) != 0)
                env.push_back(entry);
        }
        std::vector<std::string> argv = m_wrapper;
        argv.push_back(m_program.string());
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argvp, envp;
        for (std::string& a : argv)
            argvp.push_back(a.data());
        argvp.push_back(nullptr);
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        int terminal = -1;
        int terminalSide = -1;
        if (errorOnTerminal && ::openpty(&terminal, &terminalSide, nullptr, nullptr, nullptr) != 0)
            ADD_FAILURE() << "openpty: " << std::strerror(errno);
        const pid_t child = ::fork();
        if (child == 0) {
            const int fdIn = ::open(in.c_str(), O_RDONLY);
            const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int fdErr = terminalSide >= 0
                                  ? terminalSide
                                  : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            ::dup2(fdIn, 0);
            ::dup2(fdOut, 1);
            ::dup2(fdErr, 2);
            if (unprivileged && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(125);
            ::execve(argvp[0], argvp.data(), envp.data());
            ::_exit(127);
        }
        CtlRun run;
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFileBytes(out);
        if (terminal >= 0) {
            // What the program wrote stays readable after it ended, then EIO.
            ::close(terminalSide);
            char buffer[4096];
            ssize_t n = 0;
            while ((n = ::read(terminal, buffer, sizeof buffer)) > 0)
                run.err.append(buffer, static_cast<std::size_t>(n));
            ::close(terminal);
        } else {
            run.err = ReadFileBytes(err);
        }
        return run;
    }

    std::string Local() const { return ReadFileBytes(HomeFile("AgentLocalConfig.xml")); }
    std::string Status() const { return ReadFileBytes(HomeFile("AgentStatus.xml")); }
    bool Notified() {
        return AgentRegistryInt(u"ToolTag") == 2 &&
               Contains(Status(), "<NetConfigChanged>1</NetConfigChanged>");
    }

    fs::path m_program;
    // A program that runs the tool (e.g. timeout sending a signal).
    std::vector<std::string> m_wrapper;
};

} // namespace

TEST_F(CtlProgramTest, StatusAndConfigShowInTextAndJson) {
    FakeSystemBus bus;
    ASSERT_EQ(bus.Start(), "");
    bus.AddUnit("opal-agent.service", "active");
    // A password stored as the dialog stores it: shown only as set.
    std::string local = Local();
    local.replace(local.find("<HTTPAuthPassword></HTTPAuthPassword>"), 37,
                  "<HTTPAuthPassword>" + EncryptValue(kServerPassword) + "</HTTPAuthPassword>");
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"), local);
    const std::string statusBefore = Status();

    const CtlRun text = Ctl({"status"});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const std::string& line :
         {"Program directory:  " + Home().string() + "/",
          "Agent status:       1 - " + kEnglish.at(7051), std::string("RegisterStatus:     1"),
          std::string("ToolTag:            0"), std::string("NetConfigChanged:   0"),
          std::string("Service:            running, service opal-agent (opal-agent.service)"),
          std::string("Server:             "
                      "https://kestrel.example.com:443/opalCommunicatorServer/DataPortServlet"),
          std::string("Proxy:              http proxy.corp.example.com:3128 (user branch-office)")})
        EXPECT_TRUE(Contains(text.out, line + "\n")) << line << "\n" << text.out;

    const QJsonObject status = Parse(Ctl({"--json", "status"}));
    EXPECT_EQ(status["schema"].toString(), "opal-agent-ctl/1");
    EXPECT_TRUE(status["ok"].toBool());
    const QJsonObject body = status["status"].toObject();
    EXPECT_EQ(body["programDirectory"].toString().toStdString(), Home().string() + "/");
    const QJsonObject agent = body["agent"].toObject();
    EXPECT_EQ(agent["registerStatus"].toInt(), 1);
    EXPECT_EQ(agent["agentStatus"].toInt(), 1);
    EXPECT_EQ(agent["agentStatusText"].toString().toStdString(), kEnglish.at(7051));
    EXPECT_EQ(agent["toolTag"].toInt(), 0);
    EXPECT_EQ(agent["netConfigChanged"].toInt(), 0);
    EXPECT_EQ(body["service"].toObject()["state"].toString(), "running");
    EXPECT_EQ(body["proxy"].toObject()["port"].toInt(), 3128);
    // Reading changes nothing.
    EXPECT_EQ(Status(), statusBefore);

    const CtlRun show = Ctl({"config", "show"});
    ASSERT_EQ(show.status, 0) << show.err;
    for (const char* line : {"  server                kestrel.example.com\n",
                             "  auth                  digest\n", "  password              (set)\n",
                             "  proxy-password        (not set)\n", "  retry                 60\n"})
        EXPECT_TRUE(Contains(show.out, line)) << line << show.out;
    const QJsonObject shown = Parse(Ctl({"--json", "config", "show"}));
    const QJsonObject settings = shown["settings"].toObject();
    EXPECT_EQ(settings["server"].toString(), "kestrel.example.com");
    EXPECT_EQ(settings["port"].toInt(), 443);
    EXPECT_EQ(settings["protocol"].toString(), "https");
    EXPECT_EQ(settings["proxy-auth-method"].toString(), "basic");
    EXPECT_FALSE(settings.contains("password"));
    EXPECT_TRUE(shown["secrets"].toObject()["password"].toBool());
    EXPECT_FALSE(shown["secrets"].toObject()["proxy-password"].toBool());
    EXPECT_EQ(shown["readOnly"].toObject()["log-upload-max-size-kb"].toInt(), 200);
    EXPECT_FALSE(Contains(show.out + shown["settings"].toString().toStdString(), kServerPassword));
}

TEST_F(CtlProgramTest, LinksNoGuiLibraryAndNeedsNoDisplay) {
    std::string output;
    int status = -1;
    FILE* ldd = ::popen(("ldd " + m_program.string()).c_str(), "r");
    ASSERT_NE(ldd, nullptr);
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, ldd))
        output += buffer;
    status = ::pclose(ldd);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(Contains(output, "libQt6Core")) << output;
    EXPECT_FALSE(Contains(output, "libQt6Gui")) << output;
    EXPECT_FALSE(Contains(output, "libQt6Widgets")) << output;
    // Ctl() runs it with DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unset;
    // the agent's service is a fake one, so that the machine's own systemd
    // (which has no agent) does not decide the status.
    FakeSystemBus bus;
    ASSERT_EQ(bus.Start(), "");
    bus.AddUnit("opal-agent.service", "active");
    EXPECT_EQ(Ctl({"status"}).status, 0);
    EXPECT_EQ(Ctl({"--version"}).out.rfind("opal-agent-ctl (Kestrel Agent Setting Tool) ", 0), 0u);
}

TEST_F(CtlProgramTest, RefusedSettingsGiveTheDialogsMessageAndSaveNothing) {
    const std::string kServer = "Server address:";
    const std::string kPort = "Server port:";
    const std::string kRetry = "Retry after (30 - 3600):";
    const std::string kTimeout = "Timeout after (300 - 3600):";
    const struct {
        std::vector<std::string> args;
        std::string message;
        std::string setting;
        // A change to the stored file before the run, "from|to".
        std::string fixture;
    } cases[] = {
        // General page, in the order it checks.
        {{"server="}, Message(7000, kServer), "server", ""},
        {{"server=  "}, Message(7000, kServer), "server", ""},
        {{"server=a b"}, Message(7004, kServer), "server", ""},
        {{"server=kestrel#2"}, Message(7004, kServer), "server", ""},
        {{"port="}, Message(7021, kPort), "port", ""},
        {{"port=8x"}, Message(7023, kPort), "port", ""},
        {{"port=0"}, Message(7001, kPort), "port", ""},
        {{"port=65536"}, Message(7001, kPort), "port", ""},
        {{"proxy= "}, Message(7000, "Proxy address:"), "proxy", ""},
        {{"proxy=a/b"}, Message(7004, "Proxy address:"), "proxy", ""},
        {{"proxy-port="}, Message(7021, "Proxy port:"), "proxy-port", ""},
        {{"proxy-port=-1"}, Message(7023, "Proxy port:"), "proxy-port", ""},
        {{"proxy-port=70000"}, Message(7001, "Proxy port:"), "proxy-port", ""},
        {{"proxy=kestrel.example.com", "proxy-port=443"}, Message(7002), "server", ""},
        {{"protocol=https"},
         Message(7032),
         "ca",
         "<CACertPath>certs/kestrel-root-ca.cer</CACertPath>|<CACertPath></CACertPath>"},
        {{"user= "}, Message(7036), "user", ""},
        {{"auth=ntlm", "user="}, Message(7036), "user", ""},
        {{"proxy-user="}, Message(7036), "proxy-user", ""},
        // The first failure wins: the server before the retry.
        {{"server=", "retry=1"}, Message(7000, kServer), "server", ""},
        // HTTPS settings, checked before the sheet's own.
        {{"ca="}, Message(7034), "ca", ""},
        // Advanced page.
        {{"retry="}, Message(7046, kRetry), "retry", ""},
        {{"retry=4 5"}, Message(7023, kRetry), "retry", ""},
        {{"retry=29"}, Message(7047, kRetry, 30, 3600), "retry", ""},
        {{"retry=3601"}, Message(7047, kRetry, 30, 3600), "retry", ""},
        {{"timeout=299"}, Message(7047, kTimeout, 300, 3600), "timeout", ""},
        {{"timeout= "}, Message(7046, kTimeout), "timeout", ""},
        {{"retry=30", "timeout=1x"}, Message(7023, kTimeout), "timeout", ""},
    };
    const std::string pristine = Local();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        std::string fixture = pristine;
        if (!c.fixture.empty()) {
            const std::string from = c.fixture.substr(0, c.fixture.find('|'));
            fixture.replace(fixture.find(from), from.size(),
                            c.fixture.substr(c.fixture.find('|') + 1));
        }
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"), fixture);
        std::vector<std::string> args = {"config", "set"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CtlRun run = Ctl(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "opal-agent-ctl: " + c.message + "\n");
        EXPECT_EQ(Local(), fixture);
        EXPECT_FALSE(Notified());

        args.insert(args.begin(), "--json");
        const QJsonObject error = Parse(Ctl(args))["error"].toObject();
        EXPECT_EQ(error["kind"].toString(), "validation");
        EXPECT_EQ(error["message"].toString().toStdString(), c.message);
        EXPECT_EQ(error["details"].toObject()["setting"].toString().toStdString(), c.setting);
    }
}

TEST_F(CtlProgramTest, UsageErrorsExitTwoAndSaveNothing) {
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"config", "set", "password=s3cret"}, "process list"},
        {{"config", "set", "proxy-password=x", "server=a"}, "process list"},
        {{"config", "set"}, "at least one"},
        {{"config", "set", "colour=blue"}, "unknown setting 'colour'"},
        {{"config", "set", "port=1", "port=2"}, "more than once"},
        {{"config", "set", "protocol=ftp"}, "protocol: expected http or https"},
        {{"config", "set", "auth=kerberos"}, "auth: expected"},
        {{"config", "set", "proxy-type=socks4", "proxy-user=bob"}, "SOCKS 4"},
        {{"config", "set", "client-cert-password=x"}, "process list"},
        {{"config", "set", "--password-stdin=colour"}, "is not a password"},
        {{"config", "apply"}, "needs a FILE.json"},
        {{"config", "frobnicate"}, "unknown command"},
        {{"status", "extra"}, "takes no arguments"},
        {{"service"}, "service needs"},
        {{"service", "reload"}, "unknown service operation"},
        {{"diagnose"}, "needs --output"},
        {{"launch"}, "unknown command 'launch'"},
        {{}, "no command given"},
    };
    const std::string before = Local();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const CtlRun run = Ctl(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
    }
    // A password from an empty standard input.
    EXPECT_EQ(Ctl({"config", "set", "--password-stdin"}).status, 2);
    EXPECT_EQ(Local(), before);
    EXPECT_FALSE(Notified());
    for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"},
                                                 {"config", "set", "--help"},
                                                 {"service", "--help"},
                                                 {"diagnose", "--help"},
                                                 {"test-connection", "-h"}}) {
        const CtlRun run = Ctl(help);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind("Usage: opal-agent-ctl", 0), 0u) << run.out;
    }
}

TEST_F(CtlProgramTest, ConfigSetSavesWhatOkSavesAndTellsTheAgent) {
    WriteFileBytes(m_temp.Path() / "server.pw", std::string("s3cret\n"));
    WriteFileBytes(m_temp.Path() / "proxy.pw", std::string("pr0xy"));
    const std::vector<std::string> values = {"server=  kestrel2.example.com ", "port=8443",
                                             "retry= 90 "};
    const struct {
        const char* how;
        std::vector<std::string> options;
        std::string input;
    } ways[] = {
        {"standard input", {"--password-stdin=password,proxy-password"}, "s3cret\npr0xy\n"},
        {"files",
         {"--password-file=" + (m_temp.Path() / "server.pw").string(),
          "--password-file=proxy-password=" + (m_temp.Path() / "proxy.pw").string()},
         ""},
    };
    const std::string pristine = Local();
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        WriteFileBytes(HomeFile("AgentLocalConfig.xml"), pristine);
        WriteStatusDocument(0);
        SetAgentRegistryInt(u"ToolTag", 0);
        std::vector<std::string> args = {"config", "set"};
        args.insert(args.end(), values.begin(), values.end());
        args.insert(args.end(), way.options.begin(), way.options.end());
        const CtlRun run = Ctl(args, way.input);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string saved = Local();
        EXPECT_EQ(MaskPasswords(saved), ReadFileBytes(DataFile("ui/AgentLocalConfig.saved.xml")));
        EXPECT_EQ(DecryptValue(StoredValue(saved, "HTTPAuthPassword")), "s3cret");
        EXPECT_EQ(DecryptValue(StoredValue(saved, "ProxyPassword", "<HTTPProxy>")), "pr0xy");
        EXPECT_TRUE(Notified());
    }
    // The shared log says which program wrote its lines, and never a password.
    const std::string log = ReadFileBytes(HomeFile("log/OPALAgentSetting.log"));
    EXPECT_TRUE(Contains(log, "Log file created by opal-agent-ctl")) << log;
    EXPECT_TRUE(
        Contains(log, "opal-agent-ctl: config set server, port, retry, password, proxy-password."));
    EXPECT_FALSE(Contains(log, "s3cret"));
    EXPECT_FALSE(Contains(log, "pr0xy"));
}

TEST_F(CtlProgramTest, ApplyChangesOnceThenLeavesEverythingAlone) {
    const fs::path desired = m_temp.Path() / "desired.json";
    WriteFileBytes(desired, R"({"server": "kestrel2.example.com", "port": 8443, "retry": "90",
                                "password": "s3cret", "proxy-password": "pr0xy"})");
    const QJsonObject first = Parse(Ctl({"--json", "config", "apply", desired.string()}));
    EXPECT_TRUE(first["ok"].toBool())
        << first["error"].toObject()["message"].toString().toStdString();
    EXPECT_TRUE(first["changed"].toBool());
    EXPECT_EQ(first["changes"].toArray().size(), 5);
    EXPECT_EQ(MaskPasswords(Local()), ReadFileBytes(DataFile("ui/AgentLocalConfig.saved.xml")));
    EXPECT_TRUE(Notified());

    // The agent has seen the change; the second run must not disturb it.
    WriteStatusDocument(0);
    SetAgentRegistryInt(u"ToolTag", 0);
    const std::string bytes = Local();
    struct stat before {};
    ASSERT_EQ(::stat(HomeFile("AgentLocalConfig.xml").c_str(), &before), 0);
    for (const bool fromStdin : {false, true}) {
        const CtlRun run = fromStdin
                               ? Ctl({"--json", "config", "apply", "-"}, ReadFileBytes(desired))
                               : Ctl({"--json", "config", "apply", desired.string()});
        const QJsonObject again = Parse(run);
        EXPECT_EQ(run.status, 0);
        EXPECT_FALSE(again["changed"].toBool());
        EXPECT_TRUE(again["changes"].toArray().isEmpty());
    }
    struct stat after {};
    ASSERT_EQ(::stat(HomeFile("AgentLocalConfig.xml").c_str(), &after), 0);
    EXPECT_EQ(Local(), bytes);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(Notified());
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);

    // What config show prints is what apply takes: nothing to change.
    const QJsonObject shown = Parse(Ctl({"--json", "config", "show"}));
    const std::string settings = QJsonDocument(shown["settings"].toObject()).toJson().toStdString();
    EXPECT_FALSE(Parse(Ctl({"--json", "config", "apply", "-"}, settings))["changed"].toBool());

    // --check tells and saves nothing.
    const QJsonObject check = Parse(Ctl({"--json", "config", "apply", "--check", "-"},
                                        R"({"port": 9443, "proxy-password": "other"})"));
    EXPECT_TRUE(check["changed"].toBool());
    EXPECT_EQ(check["changes"].toArray(), QJsonArray({"port", "proxy-password"}));
    EXPECT_FALSE(check["saved"].toBool());
    EXPECT_EQ(Local(), bytes);
    EXPECT_FALSE(Notified());

    // The same checks as config set.
    const CtlRun refused = Ctl({"config", "apply", "-"}, R"({"retry": 10})");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "opal-agent-ctl: " + Message(7047, "Retry after (30 - 3600):", 30, 3600) + "\n");
    for (const char* bad :
         {"[1]", "{\"port\": true}", "{\"colour\": \"blue\"}", "{\"port\": 1.5}", "not json"})
        EXPECT_EQ(Ctl({"config", "apply", "-"}, bad).status, 2) << bad;
    EXPECT_EQ(Local(), bytes);
}

TEST_F(CtlProgramTest, ASaveTheUserMayNotMakeNamesTheAdministratorsGroup) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a file that another user may not write";
    // Readable by all, writable by root only, in a directory only root writes.
    fs::permissions(HomeFile("AgentLocalConfig.xml"), fs::perms(0644));
    fs::permissions(Home(), fs::perms(0755));
    const std::string before = Local();
    const CtlRun run = Ctl({"config", "set", "retry=90"}, {}, /*unprivileged=*/true);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "permission denied")) << run.err;
    EXPECT_TRUE(Contains(run.err, "the group '" OPAL_ADMIN_GROUP "'")) << run.err;
    EXPECT_EQ(Local(), before);

    // Not even readable: the same group is named, and nothing is written.
    fs::permissions(HomeFile("AgentLocalConfig.xml"), fs::perms(0600));
    const CtlRun unreadable = Ctl({"config", "show"}, {}, true);
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_TRUE(Contains(unreadable.err, "group " OPAL_ADMIN_GROUP " may read")) << unreadable.err;
    fs::permissions(Home(), fs::perms::all);
}

TEST_F(CtlProgramTest, TestConnectionUsesOverridesWithoutSavingThem) {
    for (const char* proxy : {"tinyproxy", "dante", "microsocks"})
        fs::create_directories(m_temp.Path() / proxy);
    commtest::TinyProxy tinyproxy;
    ASSERT_TRUE(tinyproxy.Start(m_temp.Path() / "tinyproxy", "proxyuser", kProxyPassword));
    commtest::DanteProxy dante;
    ASSERT_TRUE(dante.Start(m_temp.Path() / "dante"));
    commtest::MicroSocks microsocks;
    ASSERT_TRUE(microsocks.Start(m_temp.Path() / "microsocks", "socksuser", kProxyPassword));
    const std::string proxyPassword = std::string(kProxyPassword) + "\n";

    const struct {
        const char* what;
        commtest::ServletOptions server;
        std::vector<std::string> proxy;
        std::string input;
        int status;
        unsigned message;
        std::string peer;
    } cases[] = {
        {"direct", {}, {"proxy-type=none"}, "", 0, 7020, "127.0.0.1"},
        {"server code 7", Servlet(200, "framed", 7), {"proxy-type=none"}, "", 1, 7052, "127.0.0.1"},
        {"HTTP 500", Servlet(500, "framed", 0), {"proxy-type=none"}, "", 1, 7019, "127.0.0.1"},
        {"empty body", Servlet(200, "empty", 0), {"proxy-type=none"}, "", 1, 7052, "127.0.0.1"},
        {"tinyproxy with its password",
         {},
         {"proxy-type=http", "proxy=127.0.0.1", "proxy-port=" + std::to_string(tinyproxy.Port()),
          "proxy-user=proxyuser", "--password-stdin=proxy-password"},
         proxyPassword,
         0,
         7020,
         commtest::TinyProxy::kOutgoingAddress},
        {"tinyproxy without a password",
         {},
         {"proxy-type=http", "proxy=127.0.0.1", "proxy-port=" + std::to_string(tinyproxy.Port()),
          "proxy-auth-method=none"},
         "",
         1,
         7019,
         ""},
        {"dante, SOCKS 5",
         {},
         {"proxy-type=socks5", "proxy=127.0.0.1", "proxy-port=" + std::to_string(dante.Port()),
          "proxy-auth-method=none"},
         "",
         0,
         7020,
         commtest::DanteProxy::kOutgoingAddress},
        {"dante, SOCKS 4",
         {},
         {"proxy-type=socks4", "proxy=127.0.0.1", "proxy-port=" + std::to_string(dante.Port())},
         "",
         0,
         7020,
         commtest::DanteProxy::kOutgoingAddress},
        {"microsocks with its password",
         {},
         {"proxy-type=socks5", "proxy=127.0.0.1", "proxy-port=" + std::to_string(microsocks.Port()),
          "proxy-user=socksuser", "--password-stdin=proxy-password"},
         proxyPassword,
         0,
         7020,
         commtest::MicroSocks::kOutgoingAddress},
    };
    const std::string before = Local();
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path work = m_temp.Path() / ("server" + std::to_string(n++));
        fs::create_directories(work);
        commtest::ServletServer server;
        ASSERT_TRUE(server.Start(work, c.server));
        std::vector<std::string> args = {
            "--json",           "test-connection",
            "server=127.0.0.1", "port=" + std::to_string(server.Port()),
            "protocol=http",    "auth=none",
            "timeout=300"};
        args.insert(args.end(), c.proxy.begin(), c.proxy.end());
        const CtlRun run = Ctl(args, c.input);
        EXPECT_EQ(run.status, c.status) << run.err;
        const QJsonObject outcome = Parse(run)["outcome"].toObject();
        EXPECT_EQ(outcome["messageId"].toInt(), static_cast<int>(c.message));
        EXPECT_EQ(outcome["message"].toString().toStdString(), kEnglish.at(c.message));
        const auto requests = server.Requests();
        if (c.peer.empty()) {
            EXPECT_TRUE(requests.empty());
        } else {
            ASSERT_EQ(requests.size(), 1u);
            EXPECT_EQ(requests.front().PeerAddress, c.peer);
            EXPECT_EQ(requests.front().Body.size(), 60u);
        }
    }
    // Overrides are never saved, and the agent is not told of a test.
    EXPECT_EQ(Local(), before);
    EXPECT_FALSE(Notified());

    // A refused override sends nothing.
    const CtlRun refused = Ctl({"test-connection", "port=0"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "opal-agent-ctl: " + Message(7001, "Server port:") + "\n");
}

TEST_F(CtlProgramTest, ServiceCommandsAgainstTheFakeSystemd) {
    FakeSystemBus bus;
    ASSERT_EQ(bus.Start(), "");
    bus.AddUnit("opal-agent.service", "inactive", "activating*1,active", "deactivating*1,inactive");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out; // standard output's first line, or standard error's
        std::string state;
    } steps[] = {
        {{"service", "status"}, 0, "stopped, service opal-agent (opal-agent.service)", "stopped"},
        {{"service", "start"}, 0, "Start \"opal-agent\" service successfully", "running"},
        {{"service", "start"},
         1,
         "opal-agent-ctl: An instance of the service is already running.",
         "running"},
        {{"service", "restart"}, 0, "Restart \"opal-agent\" service successfully", "running"},
        {{"service", "stop"}, 0, "Stop \"opal-agent\" service successfully", "stopped"},
        {{"service", "stop"}, 1, "opal-agent-ctl: The service has not been started.", "stopped"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.args.back());
        const CtlRun run = Ctl(step.args);
        EXPECT_EQ(run.status, step.status);
        const std::string& text = step.status == 0 ? run.out : run.err;
        EXPECT_EQ(text.substr(0, text.find('\n')), step.out);
        std::vector<std::string> status = {"--json", "service", "status"};
        EXPECT_EQ(Parse(Ctl(status))["service"].toObject()["state"].toString().toStdString(),
                  step.state);
    }
    bus.FailNext("StartUnit", "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                 "Interactive authentication required.");
    const CtlRun refused = Ctl({"--json", "service", "start"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(
        Contains(refused.err,
                 "Interactive authentication required. Starting, stopping and "
                 "restarting the agent service needs membership of the group " OPAL_ADMIN_GROUP))
        << refused.err;
    EXPECT_FALSE(Parse(refused)["succeeded"].toBool());

    bus.AddUnit("gone.service", "inactive", "active", "inactive", "not-found");
    WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                   "<AgentSysConfig><AgentServiceName>gone</AgentServiceName></AgentSysConfig>");
    EXPECT_EQ(Parse(Ctl({"--json", "status"}))["status"]
                  .toObject()["service"]
                  .toObject()["state"]
                  .toString(),
              "not-installed");
}

TEST_F(CtlProgramTest, TheSupportBundleHoldsNoSecret) {
    std::optional<commtest::TestCertificates> certificates;
    const commtest::TestCertificates& certs =
        commtest::MadeOnce(certificates, m_temp.Path() / "certs", kCertPassword);
    commtest::ServletOptions options;
    options.Tls = &certs;
    options.RequireClientCert = true;
    options.Auth = "basic";
    options.User = "reporter";
    options.Password = kServerPassword;
    fs::create_directories(m_temp.Path() / "server");
    fs::create_directories(m_temp.Path() / "socks");
    commtest::ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path() / "server", options));
    commtest::MicroSocks socks;
    ASSERT_TRUE(socks.Start(m_temp.Path() / "socks", "socksuser", kProxyPassword));

    // Every password of the configuration set, as an administrator would.
    const CtlRun set =
        Ctl({"config", "set", "server=127.0.0.1", "port=" + std::to_string(server.Port()),
             "protocol=https", "ca=" + certs.File("ca.pem").string(),
             "client-cert=" + certs.File("client.p12").string(), "auth=basic", "user=reporter",
             "proxy-type=socks5", "proxy=127.0.0.1", "proxy-port=" + std::to_string(socks.Port()),
             "proxy-user=socksuser", "timeout=300",
             "--password-stdin=password,proxy-password,client-cert-password"},
            std::string(kServerPassword) + "\n" + kProxyPassword + "\n" + kCertPassword + "\n");
    ASSERT_EQ(set.status, 0) << set.err;
    const std::string local = Local();
    std::vector<std::string> forbidden = {kServerPassword, kProxyPassword, kCertPassword,
                                          "!CRYPT!"};
    for (const char* element : {"HTTPAuthPassword", "ClientCertPswd"})
        forbidden.push_back(StoredValue(local, element));
    forbidden.push_back(StoredValue(local, "ProxyPassword", "<SOCK5Proxy>"));
    // A secret left where nobody expects one, and log lines that would carry
    // one.
    std::string planted = local;
    planted.replace(planted.find("<SiteNote>"), 10,
                    std::string("<SiteNote>") + kServerPassword + " ");
    planted.replace(planted.find("</PXRAgentLocalConfig>"), 0,
                    "<BackupKey>0xfeedface</BackupKey>\r");
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"), planted);
    forbidden.push_back("0xfeedface");
    {
        std::ofstream log(HomeFile("log/OPALAgentSetting.log"), std::ios::app | std::ios::binary);
        log << "12-08 10:00:00,00001:00001,[Info],     login with " << kProxyPassword
            << " [x|1]\r\n"
            << "12-08 10:00:01,00001:00001,[Info],     Proxy-Authorization: Basic c29ja3N1c2Vy "
               "[x|2]\r\n";
    }
    forbidden.push_back("c29ja3N1c2Vy");

    const fs::path bundle = m_temp.Path() / "bundle.tar.gz";
    const CtlRun run = Ctl({"--json", "diagnose", "--output", bundle.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const QJsonObject answer = Parse(run);
    EXPECT_EQ(answer["output"].toString().toStdString(), bundle.string());
    struct stat info {};
    ASSERT_EQ(::stat(bundle.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const fs::path unpacked = m_temp.Path() / "unpacked";
    fs::create_directories(unpacked);
    ASSERT_EQ(std::system(("tar -xzf " + bundle.string() + " -C " + unpacked.string()).c_str()), 0);
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(unpacked)) {
        if (entry.is_regular_file()) {
            const std::string relative = entry.path().string().substr(
                entry.path().string().find('/', unpacked.string().size() + 1) + 1);
            files[relative] = ReadFileBytes(entry.path());
        }
    }
    for (const char* expected : {"README.txt", "versions.txt", "status.json", "service.txt",
                                 "journal.txt", "registry.txt", "languages.txt", "diagnosis.txt",
                                 "log/OPALAgentSetting.log", "documents/AgentLocalConfig.xml",
                                 "documents/AgentStatus.xml", "documents/AgentSysConfig.xml"})
        EXPECT_EQ(files.count(expected), 1u) << expected;
    for (const auto& [name, bytes] : files) {
        for (const std::string& secret : forbidden)
            EXPECT_FALSE(Contains(bytes, secret)) << secret << " in " << name;
    }
    const std::string& document = files["documents/AgentLocalConfig.xml"];
    EXPECT_TRUE(Contains(document, "<HTTPAuthPassword>[removed]</HTTPAuthPassword>")) << document;
    EXPECT_TRUE(Contains(document, "<HTTPAuthUser>reporter</HTTPAuthUser>"));
    EXPECT_TRUE(Contains(files["registry.txt"], "ToolTag = 2"));
    EXPECT_TRUE(
        Contains(files["log/OPALAgentSetting.log"], "[line removed: it may carry a secret]"));
    for (const char* library : {"libcurl", "OpenSSL", "Xerces-C++", "Qt: 6"})
        EXPECT_TRUE(Contains(files["versions.txt"], library)) << library;
    // The bundle's connection test went through with all those secrets,
    // step by step.
    EXPECT_TRUE(Contains(files["diagnosis.txt"], kEnglish.at(7020))) << files["diagnosis.txt"];
    EXPECT_TRUE(Contains(files["diagnosis.txt"], "Connection test: every step passed"))
        << files["diagnosis.txt"];
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(files["status.json"]))
                  .object()["agent"]
                  .toObject()["toolTag"]
                  .toInt(),
              2);
}

TEST_F(CtlProgramTest, ServiceWaitsShowProgressOnATerminalOnly) {
    FakeSystemBus bus;
    ASSERT_EQ(bus.Start(), "");
    bus.AddUnit("opal-agent.service", "inactive", "activating*2,active", "deactivating*2,inactive");
    const CtlRun start = Ctl({"service", "start"}, {}, false, /*errorOnTerminal=*/true);
    EXPECT_EQ(start.status, 0);
    EXPECT_TRUE(Contains(start.err, "\rStarting the agent service. Please wait... 0s"))
        << start.err;
    EXPECT_TRUE(Contains(start.err, "\rStarting the agent service. Please wait... 1s"))
        << start.err;
    EXPECT_EQ(start.out, "Start \"opal-agent\" service successfully\n");
    // Not on a pipe or a file: scripts get the outcome alone.
    const CtlRun stop = Ctl({"service", "stop"});
    EXPECT_EQ(stop.status, 0);
    EXPECT_EQ(stop.err, "");
    EXPECT_EQ(stop.out, "Stop \"opal-agent\" service successfully\n");
}

TEST_F(CtlProgramTest, DiagnoseNamesTheStepThatFailed) {
    fs::create_directories(m_temp.Path() / "tinyproxy");
    commtest::TinyProxy tinyproxy;
    ASSERT_TRUE(tinyproxy.Start(m_temp.Path() / "tinyproxy", "proxyuser", kProxyPassword));
    const struct {
        const char* what;
        commtest::ServletOptions server;
        std::vector<std::string> more;
        const char* firstFailure; // nullptr: none
        int status;
    } cases[] = {
        {"success", Servlet(200, "framed", 0), {"proxy-type=none"}, nullptr, 0},
        {"nobody listening",
         Servlet(200, "framed", 0),
         {"proxy-type=none", "port=CLOSED"},
         "connect",
         1},
        {"a proxy that wants a login",
         Servlet(200, "framed", 0),
         {"proxy-type=http", "proxy=127.0.0.1", "proxy-port=" + std::to_string(tinyproxy.Port()),
          "proxy-auth-method=none"},
         "authentication",
         1},
        {"HTTP 500", Servlet(500, "framed", 0), {"proxy-type=none"}, "http-status", 1},
        {"server code 7", Servlet(200, "framed", 7), {"proxy-type=none"}, "answer", 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path work = m_temp.Path() / ("diagnosed" + std::to_string(n++));
        fs::create_directories(work);
        commtest::ServletServer server;
        ASSERT_TRUE(server.Start(work, c.server));
        std::vector<std::string> args = {
            "test-connection",  "--diagnose",
            "server=127.0.0.1", "port=" + std::to_string(server.Port()),
            "protocol=http",    "auth=none",
            "timeout=300"};
        for (const std::string& more : c.more) {
            if (more == "port=CLOSED")
                args[3] = "port=" + std::to_string(commtest::FindFreePort());
            else
                args.push_back(more);
        }
        const CtlRun text = Ctl(args);
        EXPECT_EQ(text.status, c.status) << text.err;
        EXPECT_TRUE(Contains(text.out, c.firstFailure ? "Connection test failed at: "
                                                      : "Connection test: every step passed"))
            << text.out;

        args.insert(args.begin(), "--json");
        const QJsonObject diagnosis = Parse(Ctl(args))["diagnosis"].toObject();
        const QJsonArray steps = diagnosis["steps"].toArray();
        ASSERT_FALSE(steps.isEmpty());
        EXPECT_EQ(steps.first().toObject()["kind"].toString(), "resolve");
        // Stable English keys beside the texts: every step's title has one,
        // and so has every hint (the rule that gave it).
        for (const QJsonValue& step : steps) {
            const QJsonObject object = step.toObject();
            EXPECT_FALSE(object["titleKey"].toString().isEmpty());
            EXPECT_FALSE(object["title"].toString().isEmpty());
            EXPECT_EQ(object["hint"].isNull(), object["rule"].isNull());
        }
        if (!c.firstFailure) {
            EXPECT_TRUE(diagnosis["firstFailure"].isNull());
            continue;
        }
        EXPECT_EQ(diagnosis["firstFailure"].toString().toStdString(), c.firstFailure);
        for (const QJsonValue& step : steps) {
            const QJsonObject object = step.toObject();
            if (object["kind"].toString().toStdString() == c.firstFailure) {
                EXPECT_EQ(object["verdict"].toString(), "failed");
                EXPECT_FALSE(object["hint"].toString().isEmpty());
                break;
            }
        }
    }
}

TEST_F(CtlProgramTest, ApplyTakesPasswordsFromOptionsAndShowsTheDiffWithoutThem) {
    const fs::path desired = m_temp.Path() / "desired.json";
    WriteFileBytes(desired, R"({"server": "kestrel2.example.com", "port": 8443})");
    const fs::path proxyFile = m_temp.Path() / "proxy.pw";
    const std::vector<std::string> fromStdin = {"--password-stdin=proxy-password,password"};
    const std::string input = std::string(kProxyPassword) + "\n" + kServerPassword + "\n";

    // The first run sets both; the fixture stores no password.
    const CtlRun first =
        Ctl({"--json", "config", "apply", desired.string(), "--diff", fromStdin.front()}, input);
    ASSERT_EQ(first.status, 0) << first.err;
    const QJsonObject answer = Parse(first);
    EXPECT_TRUE(answer["changed"].toBool());
    EXPECT_EQ(answer["changes"].toArray(),
              QJsonArray({"server", "port", "password", "proxy-password"}));
    const QJsonObject diff = answer["diff"].toObject();
    const struct {
        const char* name;
        QJsonValue before;
        QJsonValue after;
    } expected[] = {
        {"server", "kestrel.example.com", "kestrel2.example.com"},
        {"port", 443, 8443},
        {"password", "not set", "set"},
        {"proxy-password", "not set", "set"},
    };
    EXPECT_EQ(diff.size(), 4);
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(diff[e.name].toObject()["before"], e.before);
        EXPECT_EQ(diff[e.name].toObject()["after"], e.after);
    }
    const std::string saved = Local();
    EXPECT_EQ(DecryptValue(StoredValue(saved, "HTTPAuthPassword")), kServerPassword);
    EXPECT_EQ(DecryptValue(StoredValue(saved, "ProxyPassword", "<HTTPProxy>")), kProxyPassword);
    EXPECT_TRUE(Notified());

    // The same passwords again, from a file or standard input: equal to the
    // stored ones, they change nothing, and the file keeps its bytes.
    WriteStatusDocument(0);
    SetAgentRegistryInt(u"ToolTag", 0);
    WriteFileBytes(proxyFile, std::string(kProxyPassword) + "\n");
    struct stat before {};
    ASSERT_EQ(::stat(HomeFile("AgentLocalConfig.xml").c_str(), &before), 0);
    for (const auto& options :
         {fromStdin,
          std::vector<std::string>{"--password-stdin",
                                   "--password-file=proxy-password=" + proxyFile.string()}}) {
        std::vector<std::string> args = {"--json", "config", "apply", desired.string(), "--diff"};
        args.insert(args.end(), options.begin(), options.end());
        const CtlRun again =
            Ctl(args, options.size() == 1 ? input : std::string(kServerPassword) + "\n");
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_FALSE(Parse(again)["changed"].toBool()) << again.out;
        EXPECT_TRUE(Parse(again)["diff"].toObject().isEmpty());
    }
    struct stat after {};
    ASSERT_EQ(::stat(HomeFile("AgentLocalConfig.xml").c_str(), &after), 0);
    EXPECT_EQ(Local(), saved);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(Notified());

    // Another password under --check: told as changed, in text as in JSON,
    // and nothing is written.
    WriteFileBytes(proxyFile, "another-one");
    const CtlRun check =
        Ctl({"config", "apply", "--check", "--diff", desired.string(),
             "--password-file=proxy-password=" + proxyFile.string(), "--password-stdin"},
            "");
    EXPECT_EQ(check.status, 2) << "standard input ended before the password";
    const CtlRun text = Ctl({"config", "apply", "--check", "--diff", desired.string(),
                             "--password-file=proxy-password=" + proxyFile.string()});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "Would change: proxy-password\n  proxy-password: set -> changed\n");
    EXPECT_EQ(Local(), saved);
    // Text values are quoted, so that an emptied one shows.
    const CtlRun cleared = Ctl({"config", "apply", "--check", "--diff", "-"},
                               R"({"proxy-user": "", "proxy-auth-method": "none", "retry": 120})");
    ASSERT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_TRUE(Contains(cleared.out, "  proxy-user: \"branch-office\" -> \"\"\n")) << cleared.out;
    EXPECT_TRUE(Contains(cleared.out, "  proxy-password: set -> not set\n")) << cleared.out;
    EXPECT_TRUE(Contains(cleared.out, "  retry: 60 -> 120\n")) << cleared.out;
    for (const CtlRun* run : {&first, &check, &text, &cleared}) {
        for (const char* secret : {kServerPassword, kProxyPassword, "another-one", "!CRYPT!"}) {
            EXPECT_FALSE(Contains(run->out, secret)) << secret;
            EXPECT_FALSE(Contains(run->err, secret)) << secret;
        }
    }

    // Passwords with a refused value are refused like any other setting.
    const CtlRun refused = Ctl(
        {"--json", "config", "apply", "-", "--password-file=proxy-password=" + proxyFile.string()},
        R"({"port": 0})");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(Parse(refused)["error"].toObject()["details"].toObject()["messageId"].toInt(), 7001);
    EXPECT_EQ(Local(), saved);

    const struct {
        std::vector<std::string> args;
        std::string says;
    } usage[] = {
        {{"-", "--password-stdin=proxy-password"}, "cannot share"},
        {{desired.string(), "--password-stdin=colour"}, "is not a password"},
        {{desired.string(), "--password-file"}, "--password-file=[NAME=]FILE"},
        {{desired.string(), "--password-file=" + (m_temp.Path() / "none").string()}, "cannot read"},
        {{desired.string(), "server=x"}, "unexpected argument 'server=x'"},
    };
    for (const auto& u : usage) {
        SCOPED_TRACE(u.says);
        std::vector<std::string> args = {"config", "apply"};
        args.insert(args.end(), u.args.begin(), u.args.end());
        const CtlRun run = Ctl(args, "{}");
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(Contains(run.err, u.says)) << run.err;
    }
    // Given twice: in the file and as an option.
    WriteFileBytes(desired, R"({"proxy-password": "x"})");
    const CtlRun twice = Ctl({"config", "apply", desired.string(),
                              "--password-file=proxy-password=" + proxyFile.string()});
    EXPECT_EQ(twice.status, 2);
    EXPECT_TRUE(Contains(twice.err, "given both")) << twice.err;
    EXPECT_EQ(Local(), saved);
}

TEST_F(CtlProgramTest, StatusSaysWhatIsMissingOnAMachineWithoutTheAgent) {
    FakeSystemBus bus;
    ASSERT_EQ(bus.Start(), "");
    bus.AddUnit("opal-agent.service", "active");
    bus.AddUnit("gone.service", "inactive", "active", "inactive", "not-found");
    const std::string statusFile = HomeFile("AgentStatus.xml");
    const std::string valueFile = AgentRegistryValueFile("AgentStatus").string();
    const std::string sysConfig = ReadFileBytes(HomeFile("AgentSysConfig.xml"));
    const std::string statusDocument = Status();
    const struct {
        const char* what;
        std::function<void()> arrange;
        // "what:reason" of each missing part, in order.
        std::vector<std::string> missing;
        std::vector<std::string> named; // in the message
    } cases[] = {
        {"all there", [] {}, {}, {}},
        {"no status document",
         [&] { fs::remove(statusFile); },
         {"status-document:missing"},
         {statusFile + " is missing"}},
        {"a status document that is not one",
         [&] { WriteFileBytes(statusFile, "<AgentStatusData>"); },
         {"status-document:unreadable"},
         {statusFile + " is not a readable status document"}},
        {"no AgentStatus value",
         [&] { fs::remove(valueFile); },
         {"registry-value:missing"},
         {"registry value AgentStatus (" + valueFile + ") is missing"}},
        {"no registry at all",
         [&] { fs::remove_all(RegistryRootDir()); },
         {"registry-value:missing"},
         {"registry value AgentStatus (" + RegistryRootDir().string()}},
        {"a service that is not installed",
         [&] {
             WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                            "<AgentSysConfig><AgentServiceName>gone</AgentServiceName>"
                            "</AgentSysConfig>");
         },
         {"service:not-installed"},
         {"service gone.service is not installed"}},
        {"nothing of the agent",
         [&] {
             fs::remove(statusFile);
             fs::remove_all(RegistryRootDir());
             fs::remove(HomeFile("AgentSysConfig.xml"));
         },
         {"status-document:missing", "registry-value:missing", "system-configuration:missing"},
         {"AgentStatus.xml is missing", "AgentSysConfig.xml is missing"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(statusFile, statusDocument);
        WriteFileBytes(HomeFile("AgentSysConfig.xml"), sysConfig);
        SetAgentRegistryInt(u"ToolTag", 0);
        SetAgentRegistryInt(u"AgentStatus", 1);
        c.arrange();

        const CtlRun text = Ctl({"status"});
        EXPECT_EQ(text.status, c.missing.empty() ? 0 : 1) << text.err;
        for (const std::string& named : c.named)
            EXPECT_TRUE(Contains(text.err, named)) << named << "\n" << text.err;
        if (!c.missing.empty()) {
            EXPECT_EQ(text.err.rfind("opal-agent-ctl: the agent is not installed here, or its "
                                     "state cannot be read: ",
                                     0),
                      0u)
                << text.err;
            // No tip of a status that the agent never wrote.
            EXPECT_FALSE(Contains(text.out, "Unable to register")) << text.out;
        }
        // The lines that could be read are still printed.
        EXPECT_TRUE(Contains(text.out, "Program directory:  " + Home().string() + "/"));

        const CtlRun json = Ctl({"--json", "status"});
        EXPECT_EQ(json.status, text.status);
        const QJsonObject answer = Parse(json);
        std::vector<std::string> missing;
        for (const QJsonValue& item : answer["status"].toObject()["missing"].toArray()) {
            missing.push_back(item.toObject()["what"].toString().toStdString() + ":" +
                              item.toObject()["reason"].toString().toStdString());
            EXPECT_TRUE(Contains(answer["error"].toObject()["message"].toString().toStdString(),
                                 item.toObject()["message"].toString().toStdString()));
        }
        EXPECT_EQ(missing, c.missing);
        EXPECT_EQ(answer["error"].toObject()["kind"].toString(),
                  c.missing.empty() ? "" : "missing");
        const QJsonObject agent = answer["status"].toObject()["agent"].toObject();
        EXPECT_EQ(agent["agentStatusText"].isNull(),
                  !c.missing.empty() && c.missing.front().rfind("service", 0) != 0);
    }
    // Reading never makes what is missing.
    EXPECT_FALSE(FileExists(statusFile));
    EXPECT_FALSE(fs::exists(RegistryRootDir()));
}

TEST_F(CtlProgramTest, AStalledServerEndsAtTheTimeoutOrASignal) {
    commtest::ServletOptions stalled;
    stalled.DelaySeconds = 60;
    commtest::ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path(), stalled));
    const std::vector<std::string> test = {
        "test-connection", "server=127.0.0.1", "port=" + std::to_string(server.Port()),
        "protocol=http",   "auth=none",        "proxy-type=none",
        "timeout=300"};
    const struct {
        const char* what;
        std::vector<std::string> wrapper;
        std::vector<std::string> more;
        int status;
        std::string message;
        const char* kind;
    } cases[] = {
        {"--timeout 1",
         {},
         {"--timeout", "1"},
         1,
         "opal-agent-ctl: no result from the connection test within 1 seconds (--timeout); the "
         "proxy or the server does not answer\n",
         "timeout"},
        {"--timeout=2 with --diagnose",
         {},
         {"--timeout=2", "--diagnose"},
         1,
         "opal-agent-ctl: no result from the connection test within 2 seconds (--timeout); the "
         "proxy or the server does not answer\n",
         "timeout"},
        {"Ctrl-C",
         {"/usr/bin/timeout", "--preserve-status", "-s", "INT", "1"},
         {},
         130,
         "opal-agent-ctl: connection test interrupted by SIGINT; nothing was changed\n",
         "interrupted"},
        {"SIGTERM",
         {"/usr/bin/timeout", "--preserve-status", "-s", "TERM", "1"},
         {"--diagnose"},
         143,
         "opal-agent-ctl: connection test interrupted by SIGTERM; nothing was changed\n",
         "interrupted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_wrapper = c.wrapper;
        std::vector<std::string> args = test;
        args.insert(args.end(), c.more.begin(), c.more.end());
        const auto start = std::chrono::steady_clock::now();
        const CtlRun run = Ctl(args);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.err, c.message);
        EXPECT_TRUE(run.out.empty()) << run.out;

        args.insert(args.begin(), "--json");
        const CtlRun json = Ctl(args);
        EXPECT_EQ(json.status, c.status) << json.err;
        EXPECT_EQ(Parse(json)["error"].toObject()["kind"].toString().toStdString(), c.kind);
    }
    m_wrapper.clear();

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"--timeout", "--timeout needs a number of seconds"},
        {"--timeout=0", "--timeout takes a whole number of seconds from 1 to 86400, not '0'"},
        {"--timeout=86401",
         "--timeout takes a whole number of seconds from 1 to 86400, not '86401'"},
        {"--timeout=5s", "--timeout takes a whole number of seconds from 1 to 86400, not '5s'"}};
    for (const auto& [argument, message] : refused) {
        const CtlRun run = Ctl({"test-connection", argument});
        EXPECT_EQ(run.status, 2) << argument;
        EXPECT_TRUE(Contains(run.err, message)) << run.err;
    }
}

TEST_F(CtlProgramTest, WhatAServerSendsReachesNoTerminalRaw) {
    // A hostile Server header, a status without the servlet's answer: the
    // diagnosis, the outcome and the support bundle hold no control byte and
    // no number that was never received.
    commtest::ServletOptions hostile;
    hostile.Status = 503;
    hostile.ServerHeader = "evil\x1b]0;owned\x07\x1b[2J";
    commtest::ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path(), hostile));
    const CtlRun set =
        Ctl({"config", "set", "server=127.0.0.1", "port=" + std::to_string(server.Port()),
             "protocol=http", "auth=none", "proxy-type=none", "timeout=300"});
    ASSERT_EQ(set.status, 0) << set.err;

    const auto hasControl = [](const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            const bool lineEnd =
                byte == '\n' || (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
            if ((byte < 0x20 && byte != '\t' && !lineEnd) || byte == 0x7F)
                return true;
        }
        return false;
    };
    const CtlRun text = Ctl({"test-connection", "--diagnose"});
    EXPECT_EQ(text.status, 1);
    EXPECT_FALSE(hasControl(text.out)) << text.out;
    EXPECT_TRUE(Contains(text.out, "Answered by: evil\\x1b]0;owned\\x07\\x1b[2J")) << text.out;
    EXPECT_TRUE(Contains(text.out, "(set-up result 0, transfer result 0, HTTP status 503, no "
                                   "answer from the servlet)"))
        << text.out;

    const QJsonObject outcome = Parse(Ctl({"--json", "test-connection"}))["outcome"].toObject();
    EXPECT_EQ(outcome["httpCode"].toInt(), 503);
    EXPECT_TRUE(outcome["serverCode"].isNull());
    const uint16_t closed = commtest::FindFreePort();
    const QJsonObject none =
        Parse(Ctl({"--json", "test-connection", "port=" + std::to_string(closed)}))["outcome"]
            .toObject();
    EXPECT_TRUE(none["httpCode"].isNull());
    EXPECT_TRUE(none["serverCode"].isNull());
    const CtlRun refused = Ctl({"test-connection", "port=" + std::to_string(closed)});
    EXPECT_TRUE(Contains(refused.out, "(set-up result 0, transfer result 7, no HTTP status)"))
        << refused.out;

    const fs::path bundle = m_temp.Path() / "bundle.tar.gz";
    ASSERT_EQ(Ctl({"diagnose", "--output", bundle.string()}).status, 0);
    const fs::path unpacked = m_temp.Path() / "unpacked";
    fs::create_directories(unpacked);
    ASSERT_EQ(std::system(("tar -xzf " + bundle.string() + " -C " + unpacked.string()).c_str()), 0);
    bool sawHeader = false;
    for (const auto& entry : fs::recursive_directory_iterator(unpacked)) {
        if (!entry.is_regular_file())
            continue;
        // The agent's documents go in as the agent wrote them; everything
        // else may quote the server.
        if (entry.path().parent_path().filename() == "documents")
            continue;
        const std::string bytes = ReadFileBytes(entry.path());
        EXPECT_FALSE(hasControl(bytes)) << entry.path();
        sawHeader = sawHeader || Contains(bytes, "evil\\x1b]0;owned");
    }
    EXPECT_TRUE(sawHeader);
}
