// The local configuration: the exact bytes the tool writes, what a save keeps
// of an existing file, the checks and defaults of a load, and passwords.

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/ValueEncryption.h"
#include "config/AgentConfig.h"
#include "tests/config/ConfigTestSupport.h"

using namespace configtest;

namespace {

constexpr char FILE_NAME[] = "AgentLocalConfig.xml";

NetworkConfigRecord SampleRecord() {
    NetworkConfigRecord r;
    r.ServerName = u"server.example";
    r.ServerPort = 8443;
    r.ConnTimeOut = 900;
    r.WaitInterval = 45;
    r.MAXRetryTimes = 4;
    r.IsUseHTTPAuth = 1;
    r.HTTPAuthUser = u"admin";
    r.ServerAuthMethod = 1;
    r.Sock5 = {0, u"socks.example", 1080, u"s5user", ""};
    r.Http = {1, u"proxy.example", 3128, u"puser", "", 2};
    r.IsUseHTTPS = 1;
    r.CACertPath = u"/etc/ssl/ca.pem";
    return r;
}

// What CreateNetworkConfig writes for SampleRecord(): the declaration and
// CR CR LF, then one CR after each element and as the first child of each
// container, none after the two top-level blocks, no final line end.
constexpr char SAMPLE_FILE[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\r\n"
                               "<PXRAgentLocalConfig>\r<DebugLogConfig>\r"
                               "<DebugLogLevel></DebugLogLevel>\r<DebugLogPath></DebugLogPath>\r"
                               "<DebugLogFileName></DebugLogFileName>\r"
                               "<DebugLogFileMaxSize>0</DebugLogFileMaxSize>\r</DebugLogConfig>"
                               "<NetworkConfig>\r<ServerName>server.example</ServerName>\r"
                               "<ServerPort>8443</ServerPort>\r"
                               "<ServiceURI>/opalCommunicatorServer/DataPortServlet</ServiceURI>\r"
                               "<ConnTimeOut>900</ConnTimeOut>\r<WaitInterval>45</WaitInterval>\r"
                               "<MAXRetryTimes>4</MAXRetryTimes>\r"
                               "<IsUseHTTPAuth>1</IsUseHTTPAuth>\r"
                               "<HTTPAuthUser>admin</HTTPAuthUser>\r"
                               "<HTTPAuthPassword></HTTPAuthPassword>\r"
                               "<ServerAuthMethod>1</ServerAuthMethod>\r<SOCK4Proxy>\r"
                               "<AlreadyConfig>0</AlreadyConfig>\r<ServerName></ServerName>\r"
                               "<ServerPort>0</ServerPort>\r</SOCK4Proxy>\r<SOCK5Proxy>\r"
                               "<AlreadyConfig>0</AlreadyConfig>\r"
                               "<ServerName>socks.example</ServerName>\r"
                               "<ServerPort>1080</ServerPort>\r<ProxyUser>s5user</ProxyUser>\r"
                               "<ProxyPassword></ProxyPassword>\r</SOCK5Proxy>\r<HTTPProxy>\r"
                               "<AlreadyConfig>1</AlreadyConfig>\r"
                               "<ServerName>proxy.example</ServerName>\r"
                               "<ServerPort>3128</ServerPort>\r<ProxyUser>puser</ProxyUser>\r"
                               "<ProxyPassword></ProxyPassword>\r"
                               "<HTTPProxyAuthMethod>2</HTTPProxyAuthMethod>\r</HTTPProxy>\r"
                               "<IsUseHTTPS>1</IsUseHTTPS>\r"
                               "<CACertPath>/etc/ssl/ca.pem</CACertPath>\r"
                               "<RequireClientCert>0</RequireClientCert>\r"
                               "<ClientCertPath></ClientCertPath>\r"
                               "<ClientCertPswd></ClientCertPswd>\r</NetworkConfig>"
                               "<MAXQueueNumber>60</MAXQueueNumber>\r"
                               "<CachePath>cache</CachePath>\r"
                               "<UpdateCheckInterval>30</UpdateCheckInterval>\r"
                               "</PXRAgentLocalConfig>";

// A file as the agent's installer writes it, every value distinct.
constexpr char BASE_FILE[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<PXRAgentLocalConfig>
<DebugLogConfig><DebugLogLevel>LL_FOR_ALL</DebugLogLevel></DebugLogConfig>
<NetworkConfig>
<ServerName>base.example</ServerName>
<ServerPort>8080</ServerPort>
<ServiceURI>/servlet</ServiceURI>
<ConnTimeOut>900</ConnTimeOut>
<WaitInterval>45</WaitInterval>
<MAXRetryTimes>4</MAXRetryTimes>
<IsUseHTTPAuth>1</IsUseHTTPAuth>
<HTTPAuthUser>admin</HTTPAuthUser>
<HTTPAuthPassword></HTTPAuthPassword>
<ServerAuthMethod>2</ServerAuthMethod>
<SOCK4Proxy><AlreadyConfig>0</AlreadyConfig><ServerName>s4.example</ServerName><ServerPort>1084</ServerPort></SOCK4Proxy>
<SOCK5Proxy><AlreadyConfig>0</AlreadyConfig><ServerName>s5.example</ServerName><ServerPort>1085</ServerPort><ProxyUser>u5</ProxyUser><ProxyPassword></ProxyPassword></SOCK5Proxy>
<HTTPProxy><AlreadyConfig>1</AlreadyConfig><ServerName>hp.example</ServerName><ServerPort>3128</ServerPort><ProxyUser>uh</ProxyUser><ProxyPassword></ProxyPassword><HTTPProxyAuthMethod>1</HTTPProxyAuthMethod></HTTPProxy>
<IsUseHTTPS>1</IsUseHTTPS>
<CACertPath>/ca.pem</CACertPath>
<RequireClientCert>1</RequireClientCert>
<ClientCertPath>/client.p12</ClientCertPath>
<ClientCertPswd></ClientCertPswd>
</NetworkConfig>
<MAXQueueNumber>70</MAXQueueNumber>
<CachePath>cache2</CachePath>
<UpdateCheckInterval>40</UpdateCheckInterval>
<CommandInterval4Disable>200</CommandInterval4Disable>
</PXRAgentLocalConfig>)";

NetworkConfigRecord BaseRecord() {
    NetworkConfigRecord r;
    r.ServerName = u"base.example";
    r.ServerPort = 8080;
    r.ServiceURI = u"/servlet";
    r.ConnTimeOut = 900;
    r.WaitInterval = 45;
    r.MAXRetryTimes = 4;
    r.IsUseHTTPAuth = 1;
    r.HTTPAuthUser = u"admin";
    r.ServerAuthMethod = 2;
    r.Sock4 = {0, u"s4.example", 1084};
    r.Sock5 = {0, u"s5.example", 1085, u"u5", ""};
    r.Http = {1, u"hp.example", 3128, u"uh", "", 1};
    r.IsUseHTTPS = 1;
    r.CACertPath = u"/ca.pem";
    r.RequireClientCert = 1;
    r.ClientCertPath = u"/client.p12";
    r.MAXQueueNumber = 70;
    r.CachePath = u"cache2";
    r.UpdateCheckInterval = 40;
    r.CommandInterval4Disable = 200;
    return r;
}

// `text` with `from` (which must occur exactly once) replaced by `to`.
std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

std::string BaseWith(const std::string& from, const std::string& to) {
    return ReplaceOnce(BASE_FILE, from, to);
}

// BASE_FILE with the element `from` (start and end tag) renamed `to`.
std::string BaseRenamed(const std::string& from, const std::string& to) {
    return ReplaceOnce(BaseWith("<" + from + ">", "<" + to + ">"), "</" + from + ">",
                       "</" + to + ">");
}

// True when every line occurs in `log`, each after the one before.
::testing::AssertionResult HasLinesInOrder(const std::string& log,
                                           const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = log.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "missing (in order): " << line << "\n" << log;
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

// One row: an edit of BASE_FILE, the load's result, one value afterwards
// and the lines the load must have logged, in order.
struct LoadCase {
    const char* name;
    std::string file;
    int result;
    std::function<int32_t(const NetworkConfigRecord&)> field;
    int32_t expected;
    std::vector<std::string> lines;
};

class LocalConfigTest : public ConfigTest {
protected:
    void RunLoadCases(const std::vector<LoadCase>& cases) {
        for (const LoadCase& c : cases) {
            SCOPED_TRACE(c.name);
            Write(FILE_NAME, c.file);
            const std::size_t before = Log().size();
            EXPECT_EQ(LoadLocalConfig(), c.result);
            EXPECT_EQ(c.field(g_networkConfig), c.expected);
            EXPECT_TRUE(HasLinesInOrder(Log().substr(before), c.lines));
        }
    }
};

TEST_F(LocalConfigTest, CreateWritesTheExactLayoutAndASecretFileMode) {
    EXPECT_EQ(CreateNetworkConfig(SampleRecord()), 0);
    EXPECT_EQ(Read(FILE_NAME), SAMPLE_FILE);
    EXPECT_EQ(FileMode(HomeFile(FILE_NAME)), 0600u);
    EXPECT_EQ(g_networkConfig, SampleRecord());
    EXPECT_EQ(CountOf(Log(), InfoLine("CreateNetworkConfig. [LocalConfig.cpp|")), 1);
}

TEST_F(LocalConfigTest, ACreatedFileLoadsBackToTheSameRecord) {
    NetworkConfigRecord written = SampleRecord();
    written.CommandInterval4Disable = 200; // never written, so it comes back as 300
    written.HTTPAuthPassword = "http-Pa55!";
    written.ClientCertPswd = "\xC3\xA9t\xC3\xA9";
    ASSERT_EQ(CreateNetworkConfig(written), 0);
    g_networkConfig = NetworkConfigRecord();
    EXPECT_EQ(LoadLocalConfig(), 0);
    NetworkConfigRecord expected = written;
    expected.CommandInterval4Disable = 300;
    EXPECT_EQ(g_networkConfig, expected);
    EXPECT_TRUE(HasLinesInOrder(
        Log(), {InfoLine("Begin to load agent local config. [LocalConfig.cpp|"),
                WarningLine("Failed to find <CommandInterval4Disable> element, use the default "
                            "value <300>. [LocalConfig.cpp|")}));
}

TEST_F(LocalConfigTest, SaveKeepsWhatItDoesNotWriteAndAppendsWhatIsMissing) {
    Write(FILE_NAME, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<PXRAgentLocalConfig>\n<!-- installed by setup -->\n"
                     "<Unknown a=\"1\">x</Unknown>\n<NetworkConfig>\n<ServerPort>1</ServerPort>\n"
                     "<Custom>c</Custom>\n<ServerName a=\"b\">old<i/></ServerName>\n"
                     "<ServiceURI>/x</ServiceURI>\n"
                     "<SOCK4Proxy><AlreadyConfig>1</AlreadyConfig></SOCK4Proxy>\n"
                     "</NetworkConfig>\n<CachePath>c2</CachePath>\n</PXRAgentLocalConfig>");
    ::chmod(HomeFile(FILE_NAME).c_str(), 0640);
    g_networkConfig = BaseRecord();
    EXPECT_EQ(SaveNetworkConfig(SampleRecord()), 0);
    EXPECT_EQ(Read(FILE_NAME),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\r\n<PXRAgentLocalConfig>\r\n"
              "<!-- installed by setup -->\r\n<Unknown a=\"1\">x</Unknown>\r\n<NetworkConfig>\r\n"
              "<ServerPort>8443</ServerPort>\r\n<Custom>c</Custom>\r\n"
              "<ServerName>server.example</ServerName>\r\n<ServiceURI>/x</ServiceURI>\r\n"
              "<SOCK4Proxy><AlreadyConfig>0</AlreadyConfig>"
              "<ServerName></ServerName>\r<ServerPort>0</ServerPort>\r</SOCK4Proxy>\r\n"
              "<ConnTimeOut>900</ConnTimeOut>\r<WaitInterval>45</WaitInterval>\r"
              "<MAXRetryTimes>4</MAXRetryTimes>\r<IsUseHTTPAuth>1</IsUseHTTPAuth>\r"
              "<HTTPAuthUser>admin</HTTPAuthUser>\r<HTTPAuthPassword></HTTPAuthPassword>\r"
              "<ServerAuthMethod>1</ServerAuthMethod>\r<SOCK5Proxy>"
              "<AlreadyConfig>0</AlreadyConfig>\r<ServerName>socks.example</ServerName>\r"
              "<ServerPort>1080</ServerPort>\r<ProxyUser>s5user</ProxyUser>\r"
              "<ProxyPassword></ProxyPassword>\r</SOCK5Proxy>\r<HTTPProxy>"
              "<AlreadyConfig>1</AlreadyConfig>\r<ServerName>proxy.example</ServerName>\r"
              "<ServerPort>3128</ServerPort>\r<ProxyUser>puser</ProxyUser>\r"
              "<ProxyPassword></ProxyPassword>\r<HTTPProxyAuthMethod>2</HTTPProxyAuthMethod>\r"
              "</HTTPProxy>\r<IsUseHTTPS>1</IsUseHTTPS>\r"
              "<CACertPath>/etc/ssl/ca.pem</CACertPath>\r"
              "<RequireClientCert>0</RequireClientCert>\r<ClientCertPath></ClientCertPath>\r"
              "<ClientCertPswd></ClientCertPswd>\r</NetworkConfig>\r\n"
              "<CachePath>c2</CachePath>\r\n</PXRAgentLocalConfig>");
    EXPECT_EQ(FileMode(HomeFile(FILE_NAME)), 0640u);
    EXPECT_EQ(g_networkConfig, BaseRecord()); // a save does not touch the loaded record
}

TEST_F(LocalConfigTest, SaveAddsANetworkBlockToARootWithoutOne) {
    Write(FILE_NAME, "<Cfg><Keep/></Cfg>");
    NetworkConfigRecord record = SampleRecord();
    ASSERT_EQ(SaveNetworkConfig(record), 0);
    const std::string text = Read(FILE_NAME);
    EXPECT_EQ(text.rfind("<Cfg><Keep/><NetworkConfig><ServerName>server.example</ServerName>\r", 0),
              0u)
        << text;
    ASSERT_EQ(LoadLocalConfig(), 0);
    record.CachePath = u"cache";
    EXPECT_EQ(g_networkConfig, record);
}

TEST_F(LocalConfigTest, SaveRecreatesAMissingOrUnreadableFile) {
    for (const char* existing :
         std::initializer_list<const char*>{"", "<Cfg><NetworkConfig>", nullptr}) {
        SCOPED_TRACE(existing ? existing : "(no file)");
        std::filesystem::remove(HomeFile(FILE_NAME));
        if (existing)
            Write(FILE_NAME, existing);
        const std::size_t before = Log().size();
        EXPECT_EQ(SaveNetworkConfig(SampleRecord()), 0);
        EXPECT_EQ(Read(FILE_NAME), SAMPLE_FILE);
        const std::string added = Log().substr(before);
        EXPECT_EQ(CountOf(added, InfoLine("CreateNetworkConfig. [")), 1);
        EXPECT_EQ(CountOf(added, ErrorLine("Unknow Exception! Last Error Code=")),
                  existing ? 1 : 0);
    }
}

TEST_F(LocalConfigTest, SaveOfAReadOnlyFileTakesTheCreatePathAndFails) {
    const std::string original = BASE_FILE;
    Write(FILE_NAME, original);
    ::chmod(HomeFile(FILE_NAME).c_str(), 0444);
    // The child may write the captured log too.
    std::ofstream(m_log->File(), std::ios::app).flush();
    ::chmod(m_log->File().c_str(), 0666);
    const int result = testsupport::RunUnprivileged(
        [] { return SaveNetworkConfig(SampleRecord()) == ERR_CONFIG_SAVE ? 0 : 1; });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Read(FILE_NAME), original);
    const std::string log = Log();
    EXPECT_TRUE(HasLinesInOrder(
        log, {InfoLine("Begin to SaveNetworkConfig. ["), InfoLine("CreateNetworkConfig. ["),
              WarningLine("Failed to save " + HomeFile(FILE_NAME) + ". [LocalConfig.cpp|")}));
}

TEST_F(LocalConfigTest, PasswordsAreEncryptedOnDiskAndNeverLogged) {
    NetworkConfigRecord record = SampleRecord();
    record.HTTPAuthPassword = "Http-Secret-1";
    record.Sock5.ProxyPassword = "Socks5-Secret-2";
    record.Http.ProxyPassword = "Proxy-Secret-3";
    record.ClientCertPswd = "Client-Secret-4";
    const char* secrets[] = {"Secret-1", "Secret-2", "Secret-3", "Secret-4"};

    ASSERT_EQ(CreateNetworkConfig(record), 0);
    record.Http.ProxyPassword = "Proxy-Secret-3b";
    ASSERT_EQ(SaveNetworkConfig(record), 0);
    g_networkConfig = NetworkConfigRecord();
    ASSERT_EQ(LoadLocalConfig(), 0);
    EXPECT_EQ(g_networkConfig.HTTPAuthPassword, "Http-Secret-1");
    EXPECT_EQ(g_networkConfig.Sock5.ProxyPassword, "Socks5-Secret-2");
    EXPECT_EQ(g_networkConfig.Http.ProxyPassword, "Proxy-Secret-3b");
    EXPECT_EQ(g_networkConfig.ClientCertPswd, "Client-Secret-4");

    const std::string file = Read(FILE_NAME);
    const std::string log = Log();
    for (const char* secret : secrets) {
        EXPECT_EQ(file.find(secret), std::string::npos) << secret;
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
    EXPECT_EQ(CountOf(file, std::string(">") + std::string(CRYPT_PREFIX)), 4);
}

#define FIELD(member) [](const NetworkConfigRecord& r) { return r.member; }

std::string Smaller(int value, int minimum) {
    return WarningLine("The value(" + std::to_string(value) +
                       ") is smaller than the minimum value(" + std::to_string(minimum) + ").");
}
std::string Larger(int value, int maximum) {
    return WarningLine("The value(" + std::to_string(value) +
                       ") is larger than the maximum value(" + std::to_string(maximum) + ").");
}
std::string Invalid(const char* what) {
    return WarningLine(std::string(what) + " is invalid, [LocalConfig.cpp|");
}
std::string UseDefault(const char* element, int value) {
    return WarningLine("Failed to find <" + std::string(element) +
                       "> element, use the default value <" + std::to_string(value) +
                       ">. [LocalConfig.cpp|");
}
std::string NotInteger() {
    return WarningLine("Can't convert into integer, [");
}

TEST_F(LocalConfigTest, RangesAcceptTheirBoundsAndDefaultOutside) {
    const std::vector<LoadCase> cases = {
        {"port 0",
         BaseWith("<ServerPort>8080<", "<ServerPort>0<"),
         0,
         FIELD(ServerPort),
         80,
         {Smaller(0, 1), Invalid("WebServerPort")}},
        {"port 1", BaseWith("<ServerPort>8080<", "<ServerPort>1<"), 0, FIELD(ServerPort), 1, {}},
        {"port 65535",
         BaseWith("<ServerPort>8080<", "<ServerPort>65535<"),
         0,
         FIELD(ServerPort),
         65535,
         {}},
        {"port 65536",
         BaseWith("<ServerPort>8080<", "<ServerPort>65536<"),
         0,
         FIELD(ServerPort),
         80,
         {Larger(65536, 65535), Invalid("WebServerPort")}},
        {"timeout 300",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut>300<"),
         0,
         FIELD(ConnTimeOut),
         300,
         {}},
        {"timeout 3600",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut>3600<"),
         0,
         FIELD(ConnTimeOut),
         3600,
         {}},
        {"timeout 299",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut>299<"),
         0,
         FIELD(ConnTimeOut),
         600,
         {Smaller(299, 300), Invalid("ConnTimeout")}},
        {"wait 30",
         BaseWith("<WaitInterval>45<", "<WaitInterval>30<"),
         0,
         FIELD(WaitInterval),
         30,
         {}},
        {"wait 3601",
         BaseWith("<WaitInterval>45<", "<WaitInterval>3601<"),
         0,
         FIELD(WaitInterval),
         60,
         {Larger(3601, 3600), Invalid("WaitInterval")}},
        {"retries 5",
         BaseWith("<MAXRetryTimes>4<", "<MAXRetryTimes>5<"),
         0,
         FIELD(MAXRetryTimes),
         5,
         {}},
        {"retries 0",
         BaseWith("<MAXRetryTimes>4<", "<MAXRetryTimes>0<"),
         0,
         FIELD(MAXRetryTimes),
         3,
         {Smaller(0, 1), Invalid("MaxRetryTimes")}},
        {"update 5",
         BaseWith("<UpdateCheckInterval>40<", "<UpdateCheckInterval>5<"),
         0,
         FIELD(UpdateCheckInterval),
         5,
         {}},
        {"update 4",
         BaseWith("<UpdateCheckInterval>40<", "<UpdateCheckInterval>4<"),
         0,
         FIELD(UpdateCheckInterval),
         30,
         {Smaller(4, 5), Invalid("UpdateCheckInterval")}},
        {"disable 120",
         BaseWith("<CommandInterval4Disable>200<", "<CommandInterval4Disable>120<"),
         0,
         FIELD(CommandInterval4Disable),
         120,
         {}},
        {"disable 3601",
         BaseWith("<CommandInterval4Disable>200<", "<CommandInterval4Disable>3601<"),
         0,
         FIELD(CommandInterval4Disable),
         300,
         {Larger(3601, 3600), Invalid("CommandInterval4Disable")}},
    };
    RunLoadCases(cases);
}

TEST_F(LocalConfigTest, IntegersMustBePlainDigits) {
    const std::vector<LoadCase> cases = {
        {"minus",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut>-900<"),
         0,
         FIELD(ConnTimeOut),
         600,
         {NotInteger(), UseDefault("ConnTimeOut", 600)}},
        {"plus",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut>+900<"),
         0,
         FIELD(ConnTimeOut),
         600,
         {NotInteger(), UseDefault("ConnTimeOut", 600)}},
        {"blank",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut> 900<"),
         0,
         FIELD(ConnTimeOut),
         600,
         {NotInteger(), UseDefault("ConnTimeOut", 600)}},
        {"empty",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut><"),
         0,
         FIELD(ConnTimeOut),
         600,
         {NotInteger(), UseDefault("ConnTimeOut", 600)}},
        {"2147483648",
         BaseWith("<MAXQueueNumber>70<", "<MAXQueueNumber>2147483648<"),
         0,
         FIELD(MAXQueueNumber),
         60,
         {NotInteger(), UseDefault("MAXQueueNumber", 60)}},
        {"2147483647",
         BaseWith("<MAXQueueNumber>70<", "<MAXQueueNumber>2147483647<"),
         0,
         FIELD(MAXQueueNumber),
         2147483647,
         {}},
        {"2147483647 out of range",
         BaseWith("<ConnTimeOut>900<", "<ConnTimeOut>2147483647<"),
         0,
         FIELD(ConnTimeOut),
         600,
         {Larger(2147483647, 3600), Invalid("ConnTimeout")}},
        {"required port not a number",
         BaseWith("<ServerPort>8080<", "<ServerPort>80a<"),
         ERR_CONFIG_LOAD,
         FIELD(ServerPort),
         80,
         {NotInteger(), WarningLine("Failed to find <ServerPort> element. [LocalConfig.cpp|")}},
    };
    RunLoadCases(cases);
}

TEST_F(LocalConfigTest, ProxyPortsAreCheckedOnlyForTheProxyInUse) {
    const std::vector<LoadCase> cases = {
        {"unused SOCKS4",
         BaseWith("<ServerPort>1084<", "<ServerPort>99999<"),
         0,
         FIELD(Sock4.ServerPort),
         99999,
         {}},
        {"used SOCKS4",
         BaseWith(
             "<AlreadyConfig>0</AlreadyConfig><ServerName>s4.example</ServerName><ServerPort>1084<",
             "<AlreadyConfig>1</AlreadyConfig><ServerName>s4.example</"
             "ServerName><ServerPort>99999<"),
         0,
         FIELD(Sock4.ServerPort),
         80,
         {Larger(99999, 65535), Invalid("Sock4ServerPort")}},
        {"unused SOCKS5",
         BaseWith("<ServerPort>1085<", "<ServerPort>0<"),
         0,
         FIELD(Sock5.ServerPort),
         0,
         {}},
        {"used SOCKS5",
         BaseWith(
             "<AlreadyConfig>0</AlreadyConfig><ServerName>s5.example</ServerName><ServerPort>1085<",
             "<AlreadyConfig>1</AlreadyConfig><ServerName>s5.example</ServerName><ServerPort>0<"),
         0,
         FIELD(Sock5.ServerPort),
         80,
         {Smaller(0, 1), Invalid("Sock5ServerPort")}},
        {"used HTTP",
         BaseWith("<ServerPort>3128<", "<ServerPort>65536<"),
         0,
         FIELD(Http.ServerPort),
         80,
         {Larger(65536, 65535), Invalid("HTTPProxyPort")}},
        {"unused HTTP",
         BaseWith("<AlreadyConfig>1</AlreadyConfig><ServerName>hp.example</ServerName>"
                  "<ServerPort>3128<",
                  "<AlreadyConfig>0</AlreadyConfig><ServerName>hp.example</"
                  "ServerName><ServerPort>65536<"),
         0,
         FIELD(Http.ServerPort),
         65536,
         {}},
    };
    RunLoadCases(cases);
}

TEST_F(LocalConfigTest, MissingElementsFailOnlyWhenRequired) {
    const std::string missing = "Failed to find <";
    const std::vector<LoadCase> cases = {
        {"no NetworkConfig",
         BaseRenamed("NetworkConfig", "Other"),
         ERR_CONFIG_LOAD,
         FIELD(ServerPort),
         80,
         {WarningLine("Failed to find <NetworkConfig> element, [LocalConfig.cpp|")}},
        {"no ServerName",
         BaseWith("<ServerName>base.example</ServerName>", ""),
         ERR_CONFIG_LOAD,
         FIELD(ServerPort),
         80,
         {InfoLine("Failed to read the value of ServerName, [AgentConfig.cpp|"),
          WarningLine("Failed to find <ServerName> element. [LocalConfig.cpp|")}},
        {"no ServerPort",
         BaseWith("<ServerPort>8080</ServerPort>", ""),
         ERR_CONFIG_LOAD,
         FIELD(ServerPort),
         80,
         {WarningLine("Failed to find <ServerPort> element. [LocalConfig.cpp|")}},
        {"no WaitInterval",
         BaseWith("<WaitInterval>45</WaitInterval>", ""),
         0,
         FIELD(WaitInterval),
         60,
         {UseDefault("WaitInterval", 60)}},
        {"no SOCK4Proxy block",
         BaseRenamed("SOCK4Proxy", "Sock4Proxy"),
         0,
         FIELD(Sock4.ServerPort),
         0,
         {WarningLine("Failed to read the value of SOCK4Proxy, [AgentConfig.cpp|"),
          WarningLine("Failed to find <SOCK4Proxy> element. [LocalConfig.cpp|")}},
        {"no RequireClientCert",
         BaseWith("<RequireClientCert>1</RequireClientCert>", ""),
         0,
         FIELD(RequireClientCert),
         0,
         {WarningLine("Failed to find <RequireClientCert> element. [LocalConfig.cpp|")}},
    };
    RunLoadCases(cases);

    // Optional texts keep what the record held; ServiceURI falls back to its
    // default path and says so.
    g_networkConfig.HTTPAuthUser = u"from before";
    Write(FILE_NAME, ReplaceOnce(BaseWith("<HTTPAuthUser>admin</HTTPAuthUser>", ""),
                                 "<ServiceURI>/servlet</ServiceURI>", ""));
    EXPECT_EQ(LoadLocalConfig(), 0);
    EXPECT_EQ(g_networkConfig.HTTPAuthUser, u"from before");
    EXPECT_EQ(g_networkConfig.ServiceURI, u"/opalCommunicatorServer/DataPortServlet");
    EXPECT_TRUE(HasLinesInOrder(
        Log(), {WarningLine("Failed to find <ServiceURI> element, use the default value "
                            "</opalCommunicatorServer/DataPortServlet>. [LocalConfig.cpp|"),
                WarningLine("Failed to find <HTTPAuthUser> element. [LocalConfig.cpp|")}));
}

TEST_F(LocalConfigTest, TheNetworkBlockIsFoundAtAnyDepth) {
    std::string text = BaseWith("<NetworkConfig>", "<Outer><Inner a=\"1\"><NetworkConfig>");
    text.replace(text.find("</NetworkConfig>"), 16, "</NetworkConfig></Inner></Outer>");
    Write(FILE_NAME, text);
    EXPECT_EQ(LoadLocalConfig(), 0);
    EXPECT_EQ(g_networkConfig, BaseRecord());
}

} // namespace

TEST_F(LocalConfigTest, EachMissingElementIsLoggedAtTheLineThatAskedForIt) {
    const auto without = [](std::string text, const std::vector<std::string>& parts) {
        for (const std::string& part : parts)
            text.erase(text.find(part), part.size());
        return text;
    };
    // Pairs of elements read through the same helper from two places.
    struct Case {
        const char* first;
        const char* second;
        std::string document;
    } cases[] = {
        {"HTTPAuthUser", "CACertPath",
         without(BASE_FILE,
                 {"<HTTPAuthUser>admin</HTTPAuthUser>", "<CACertPath>/ca.pem</CACertPath>"})},
        {"SOCK4Proxy", "SOCK5Proxy",
         ReplaceOnce(ReplaceOnce(BaseRenamed("SOCK4Proxy", "Sock4"), "<SOCK5Proxy>", "<Sock5>"),
                     "</SOCK5Proxy>", "</Sock5>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " and " + c.second);
        Write(FILE_NAME, c.document);
        const std::size_t before = Log().size();
        LoadLocalConfig();
        const std::string added = Log().substr(before);
        const auto lineOf = [&](const std::string& name) {
            const std::string head = "Failed to find <" + name + "> element. [LocalConfig.cpp|";
            const auto at = added.find(head);
            if (at == std::string::npos)
                return std::string("missing");
            const auto from = at + head.size();
            return added.substr(from, added.find(']', from) - from);
        };
        EXPECT_NE(lineOf(c.first), "missing") << added;
        EXPECT_NE(lineOf(c.second), "missing") << added;
        EXPECT_NE(lineOf(c.first), lineOf(c.second));
    }
}
