// The real settings sheet on the offscreen platform, with the agent's
// documents in a temporary home and the message boxes recorded.

#include "ui/ConfigureAgent4VSM.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QLineEdit>
#include <QTimer>
#include <sys/stat.h>

#include "BuildInfo.h"
#include "comm/ValueEncryption.h"
#include "common/ASTCommonFunc.h"
#include "platform/gui/FileDialog.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/TabControl.h"
#include "res/Resource.h"
#include "shell/AgentStatusMonitor.h"
#include "shell/PluginLoader.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/helper/HelperSystem.h"
#include "tests/support/TestSupport.h"
#include "ui/ConnectionTestProgress.h"

using namespace testsupport;

namespace {

std::u16string English(unsigned id) {
    return CResourceLookup::ProgramModule()->LoadString(id).value_or(u"");
}

std::string Utf8(const std::u16string& text) {
    return QString::fromStdU16String(text).toStdString();
}

// Runs `body` once the next modal window is up, as the user would act on it.
void WhenModal(std::function<void(QWidget*)> body) {
    QTimer::singleShot(0, [body = std::move(body)] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        body(modal);
    });
}

std::string StoredPassword(const std::string& document, const std::string& element) {
    const std::string open = "<" + element + ">";
    const std::size_t start = document.find(open) + open.size();
    return document.substr(start, document.find("</" + element + ">", start) - start);
}

std::string MaskPasswords(std::string document) {
    for (std::size_t at = document.find("!CRYPT!"); at != std::string::npos;
         at = document.find("!CRYPT!", at + 1)) {
        const std::size_t end = document.find('<', at);
        document.replace(at, end - at, "!CRYPT!...");
    }
    return document;
}

int g_pluginCalls = 0;
void CountingPluginDialog() {
    ++g_pluginCalls;
}

class SettingsSheetTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        WriteFileBytes(HomeFile("AgentSysConfig.xml"),
                       "<AgentSysConfig><AgentGUID>0123456789abcdef0123456789abcdef0123</AgentGUID>"
                       "<AgentServiceName>Svc</AgentServiceName><PluginType>7</PluginType>"
                       "</AgentSysConfig>");
        WriteFileBytes(HomeFile("AgentWorkConfig.xml"),
                       ReadFileBytes(fs::path(OPAL_SOURCE_DIR) / "scripts/demo/AgentWorkConfig.xml"));
        fs::copy_file(DataFile("ui/AgentLocalConfig.xml"), HomeFile("AgentLocalConfig.xml"));
        WriteFileBytes(HomeFile("AgentStatus.xml"),
                       "<AgentStatusData><RegisterStatus>1</RegisterStatus>"
                       "<NetConfigChanged>0</NetConfigChanged><MonitorExitTag>0</MonitorExitTag>"
                       "</AgentStatusData>");
        SetAgentRegistryInt(u"ToolTag", 0);
        SetAgentRegistryInt(u"AgentStatus", 1);
        g_selfConfigChange = 0;
    }

    // The sheet as Configure opens it, built without its modal run.
    std::unique_ptr<CConfigureAgent4VSM> Open() {
        SettingsSheetContext context;
        context.languageModule = [] { return CResourceLookup::ProgramModule(); };
        context.serviceName = u"Svc";
        auto sheet = std::make_unique<CConfigureAgent4VSM>(std::move(context));
        EXPECT_TRUE(sheet->CreateModeless());
        sheet->show();
        // No window manager makes a window active here.
        QApplication::setActiveWindow(sheet.get());
        return sheet;
    }

    // The General page typed for a plain HTTP server on loopback.
    static void PointAt(CConfigureAgent4VSM& sheet, uint16_t port) {
        CNetworkPage& page = sheet.GeneralPage();
        page.SetDlgItemText(IDC_SERVER_ADDRESS, u"127.0.0.1");
        page.SetDlgItemText(IDC_SERVER_PORT, QString::number(port).toStdU16String());
        Click(page, IDC_PROTOCOL_HTTP);
        Click(page, IDC_PROXY_ENABLED);
        Click(page, IDC_SERVER_AUTH);
    }

    static void Click(CFrameworkDialog& dialog, int id) {
        auto* button = qobject_cast<QAbstractButton*>(dialog.GetDlgItem(id));
        ASSERT_NE(button, nullptr) << id;
        button->click();
    }

    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> texts;
        for (const auto& record : m_boxes.Records())
            texts.push_back(Utf8(record.text));
        return texts;
    }

    std::string Document(const char* name) { return ReadFileBytes(HomeFile(name)); }

    CMessageBoxRecorder m_boxes;
};

} // namespace

TEST_F(SettingsSheetTest, OkRewritesTheNetworkBlockAndTellsTheAgent) {
    auto sheet = Open();
    EXPECT_EQ(sheet->windowTitle(), QStringLiteral("Agent (Svc)"));
    CNetworkPage& general = sheet->GeneralPage();
    EXPECT_EQ(general.GetDlgItemText(IDC_SERVER_ADDRESS), u"kestrel.example.com");
    EXPECT_EQ(general.IsDlgButtonChecked(IDC_PROXY_AUTH), BST_CHECKED);
    EXPECT_EQ(sheet->AdvancedPage().GetDlgItemText(IDC_LOG_UPLOAD_SIZE), u"200");

    general.SetDlgItemText(IDC_SERVER_ADDRESS, u"  kestrel2.example.com ");
    general.SetDlgItemText(IDC_SERVER_PORT, u"8443");
    general.SetDlgItemText(IDC_SERVER_PASSWORD, u"s3cret");
    general.SetDlgItemText(IDC_PROXY_PASSWORD, u"pr0xy");
    sheet->AdvancedPage().SetDlgItemText(IDC_RETRY, u" 90 ");
    Click(*sheet, IDOK);

    EXPECT_TRUE(m_boxes.Records().empty()) << MessageTexts().front();
    EXPECT_EQ(sheet->result(), IDOK);
    // Every save salts its ciphertext anew: the golden file holds the
    // passwords' stored form, "!CRYPT!" and a fixed tail.
    std::string saved = Document("AgentLocalConfig.xml");
    EXPECT_EQ(saved.find("s3cret"), std::string::npos);
    EXPECT_EQ(DecryptValue(StoredPassword(saved, "HTTPAuthPassword")), "s3cret");
    EXPECT_EQ(DecryptValue(StoredPassword(saved.substr(saved.find("<HTTPProxy>")), "ProxyPassword")),
              "pr0xy");
    EXPECT_EQ(MaskPasswords(saved), ReadFileBytes(DataFile("ui/AgentLocalConfig.saved.xml")));
    EXPECT_NE(Document("AgentStatus.xml").find("<NetConfigChanged>1</NetConfigChanged>"),
              std::string::npos);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 2);
    EXPECT_EQ(g_selfConfigChange.load(), 1);
}

TEST_F(SettingsSheetTest, ValidationKeepsTheSheetOpenOnThePageThatRefuses) {
    auto sheet = Open();
    const std::string before = Document("AgentLocalConfig.xml");
    sheet->AdvancedPage().SetDlgItemText(IDC_RETRY, u"10");
    ASSERT_EQ(sheet->CurrentTab(), 0);
    Click(*sheet, IDOK);
    ASSERT_EQ(MessageTexts(), std::vector<std::string>{"[Retry after (30 - 3600):] cannot accept an "
                                                       "invalid number. Enter a number between 30 "
                                                       "and 3600."});
    EXPECT_EQ(m_boxes.Records()[0].owner, &sheet->AdvancedPage());
    EXPECT_EQ(m_boxes.Records()[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(m_boxes.Records()[0].topmost);
    EXPECT_EQ(sheet->CurrentTab(), 1);
    EXPECT_TRUE(sheet->AdvancedPage().isVisible());
    EXPECT_FALSE(sheet->GeneralPage().isVisible());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), sheet->AdvancedPage().GetDlgItem(IDC_RETRY));

    // A General failure brings General back, with the focus on "Settings...".
    m_boxes.Clear();
    sheet->GeneralPage().CheckDlgButton(IDC_PROTOCOL_HTTPS, BST_CHECKED);
    sheet->GeneralPage().CheckDlgButton(IDC_PROTOCOL_HTTP, BST_UNCHECKED);
    sheet->GeneralPage().m_state.CACertPath.clear();
    Click(*sheet, IDOK);
    ASSERT_EQ(m_boxes.Records().size(), 1u);
    EXPECT_EQ(m_boxes.Records()[0].text, English(IDS_NO_ROOT_CA));
    EXPECT_EQ(sheet->CurrentTab(), 0);
    EXPECT_EQ(QApplication::focusWidget(), sheet->GeneralPage().GetDlgItem(IDC_HTTPS_SETTINGS));
    EXPECT_EQ(Document("AgentLocalConfig.xml"), before);
}

TEST_F(SettingsSheetTest, CancelAndCloseByTheMonitorWriteNothing) {
    const std::string local = Document("AgentLocalConfig.xml");
    const std::string status = Document("AgentStatus.xml");
    for (const bool byMonitor : {false, true}) {
        auto sheet = Open();
        sheet->GeneralPage().SetDlgItemText(IDC_SERVER_ADDRESS, u"elsewhere");
        if (byMonitor)
            sheet->CloseWithoutSaving();
        else
            Click(*sheet, IDCANCEL);
        EXPECT_EQ(sheet->result(), IDCANCEL);
        EXPECT_FALSE(sheet->isVisible());
    }
    EXPECT_EQ(Document("AgentLocalConfig.xml"), local);
    EXPECT_EQ(Document("AgentStatus.xml"), status);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);
    EXPECT_TRUE(m_boxes.Records().empty());
}

TEST_F(SettingsSheetTest, UnreadableConfigurationIsReportedAndTheSheetStillOpens) {
    WriteFileBytes(HomeFile("AgentWorkConfig.xml"), "<PXRAgentWorkingConfig><Enable");
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"), "not xml at all");
    auto sheet = Open();
    EXPECT_EQ(MessageTexts(), (std::vector<std::string>{Utf8(English(7038)), Utf8(English(7037))}));
    EXPECT_TRUE(sheet->isVisible());
    // The store's defaults are what the pages show.
    EXPECT_EQ(sheet->AdvancedPage().GetDlgItemText(IDC_RETRY), u"60");
    EXPECT_EQ(sheet->AdvancedPage().GetDlgItemText(IDC_LOG_UPLOAD_SIZE), u"200");
}

TEST_F(SettingsSheetTest, ProxyControlsFollowTheClicks) {
    auto sheet = Open();
    CNetworkPage& page = sheet->GeneralPage();
    page.SetDlgItemText(IDC_PROXY_USER, u"someone");
    Click(page, IDC_PROXY_SOCKS4);
    EXPECT_EQ(page.IsDlgButtonChecked(IDC_PROXY_AUTH), BST_UNCHECKED);
    EXPECT_FALSE(page.IsDlgItemEnabled(IDC_PROXY_AUTH));
    EXPECT_FALSE(page.IsDlgItemEnabled(IDC_PROXY_USER));
    Click(page, IDC_PROXY_HTTP);
    EXPECT_TRUE(page.IsDlgItemEnabled(IDC_PROXY_AUTH));
    EXPECT_EQ(page.IsDlgButtonChecked(IDC_PROXY_AUTH), BST_UNCHECKED);
    EXPECT_FALSE(page.IsDlgItemEnabled(IDC_PROXY_USER));
    Click(page, IDC_PROTOCOL_HTTP);
    EXPECT_FALSE(page.IsDlgItemEnabled(IDC_HTTPS_SETTINGS));
    Click(page, IDC_PROXY_ENABLED);
    EXPECT_FALSE(page.IsDlgItemEnabled(IDC_PROXY_ADDRESS));

    // Saved with the proxy off and its user typed: no proxy, no credentials.
    Click(*sheet, IDOK);
    ASSERT_TRUE(m_boxes.Records().empty()) << MessageTexts().front();
    const std::string saved = Document("AgentLocalConfig.xml");
    EXPECT_EQ(saved.find("<AlreadyConfig>1</AlreadyConfig>"), std::string::npos);
    EXPECT_EQ(saved.find("someone"), std::string::npos);
    EXPECT_NE(saved.find("<MAXRetryTimes>5</MAXRetryTimes>"), std::string::npos);
}

TEST_F(SettingsSheetTest, HttpsSettingsEditCopiesThatThePageTakesOnlyOnOk) {
    auto sheet = Open();
    CNetworkPage& page = sheet->GeneralPage();
    page.m_state.RequireClientCert = 1;
    page.m_state.ClientCertPath = u"/old/client.p12";
    page.m_state.ClientCertPswd = u"old";

    // Cancel after editing: the page keeps its values.
    WhenModal([](QWidget* modal) {
        auto* https = qobject_cast<CSSLConfig*>(modal);
        ASSERT_NE(https, nullptr);
        EXPECT_TRUE(https->IsDlgItemEnabled(IDC_CLIENT_CERT_PATH));
        EXPECT_EQ(qobject_cast<QLineEdit*>(https->GetDlgItem(IDC_CLIENT_CERT_PASSWORD))->echoMode(),
                  QLineEdit::Password);
        https->SetDlgItemText(IDC_CA_PATH, u"/new/ca.der");
        Click(*https, IDCANCEL);
    });
    Click(page, IDC_PROTOCOL_HTTPS);
    Click(page, IDC_HTTPS_SETTINGS);
    EXPECT_EQ(page.m_state.CACertPath, u"certs/kestrel-root-ca.cer");
    EXPECT_EQ(page.HttpsDialog(), nullptr);

    // Enter in the server address opens it too, whatever the protocol; with
    // client certificates off, OK clears the certificate and its password.
    Click(page, IDC_PROTOCOL_HTTP);
    COpenFileDialogRecorder files;
    files.SetNextAnswer(u"/" + std::u16string(128, u'c'));
    files.SetNextAnswer(u"/" + std::u16string(127, u'c'));
    WhenModal([this](QWidget* modal) {
        auto* https = qobject_cast<CSSLConfig*>(modal);
        ASSERT_NE(https, nullptr);
        const std::u16string before = https->GetDlgItemText(IDC_CA_PATH);
        Click(*https, IDC_CA_BROWSE); // 129 characters: refused
        EXPECT_EQ(https->GetDlgItemText(IDC_CA_PATH), before);
        ASSERT_EQ(m_boxes.Records().size(), 1u);
        EXPECT_EQ(m_boxes.Records()[0].text, English(IDS_CA_PATH_TOO_LONG));
        Click(*https, IDC_CA_BROWSE); // 128 characters: taken
        EXPECT_EQ(https->GetDlgItemText(IDC_CA_PATH), u"/" + std::u16string(127, u'c'));
        Click(*https, IDC_CLIENT_CERT_REQUIRED);
        EXPECT_FALSE(https->IsDlgItemEnabled(IDC_CLIENT_CERT_BROWSE));
        Click(*https, IDOK);
    });
    QWidget* address = page.GetDlgItem(IDC_SERVER_ADDRESS);
    address->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(address, &enter);
    EXPECT_TRUE(sheet->isVisible()) << "Enter in the page does not press OK";
    EXPECT_EQ(page.m_state.CACertPath, u"/" + std::u16string(127, u'c'));
    EXPECT_EQ(page.m_state.RequireClientCert, 0);
    EXPECT_EQ(page.m_state.ClientCertPath, u"");
    EXPECT_EQ(page.m_state.ClientCertPswd, u"");
}

TEST_F(SettingsSheetTest, PluginOptionFollowsTheEntryPoint) {
    g_showPluginSettingDlg = nullptr;
    {
        auto sheet = Open();
        EXPECT_FALSE(sheet->AdvancedPage().IsDlgItemEnabled(IDC_PLUGIN_OPTION));
    }
    g_showPluginSettingDlg = CountingPluginDialog;
    g_pluginCalls = 0;
    auto sheet = Open();
    EXPECT_TRUE(sheet->AdvancedPage().IsDlgItemEnabled(IDC_PLUGIN_OPTION));
    Click(sheet->AdvancedPage(), IDC_PLUGIN_OPTION);
    EXPECT_EQ(g_pluginCalls, 1);
    g_showPluginSettingDlg = nullptr;
}

TEST_F(SettingsSheetTest, TestConnectionSendsTheValuesOnScreenAndSavesNothing) {
    commtest::ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path() / "servlet", {}));
    auto sheet = Open();
    const std::string local = Document("AgentLocalConfig.xml");
    PointAt(*sheet, server.Port());
    Click(*sheet, IDC_TEST_CONNECTION);

    ASSERT_EQ(m_boxes.Records().size(), 1u) << MessageTexts().front();
    EXPECT_EQ(m_boxes.Records()[0].text, English(7020));
    EXPECT_EQ(m_boxes.Records()[0].caption, English(7009));
    EXPECT_EQ(m_boxes.Records()[0].icon, MessageIcon::Information);
    EXPECT_EQ(m_boxes.Records()[0].owner, sheet.get());
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Path, "/opalCommunicatorServer/DataPortServlet");
    EXPECT_EQ(requests[0].Body.size(), 60u);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(Document("AgentLocalConfig.xml"), local);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);

    // An invalid value refuses the test before anything is sent.
    m_boxes.Clear();
    sheet->AdvancedPage().SetDlgItemText(IDC_TIMEOUT, u"299");
    Click(*sheet, IDC_TEST_CONNECTION);
    EXPECT_EQ(sheet->CurrentTab(), 1);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(SettingsSheetTest, TestConnectionResultCarriesTheDiagnosisBehindDetails) {
    struct Case {
        const char* name;
        int status;          // the servlet's answer; 0: nothing listens
        uint32_t code;       // its result code
        unsigned text;       // the box's message
        const char* summary; // the report's first line
        const char* step;    // a line of the report
        const char* hint;    // part of the failing step's hint
    };
    const Case cases[] = {
        {"success", 200, 0, 7020, "Connection test: every step passed",
         "[passed] The servlet's answer", nullptr},
        {"nothing listens", 0, 0, 7019, "Connection test failed at: Connect to the server",
         "[skipped] The servlet's answer",
         "Nothing accepts connections at 127.0.0.1:"},
        {"HTTP 500", 500, 0, 7019, "Connection test failed at: HTTP status of the POST",
         "[failed] HTTP status of the POST to /opalCommunicatorServer/DataPortServlet",
         "The server answered 500"},
        {"result code 7", 200, 7, 7052, "Connection test failed at: The servlet's answer",
         "    Result code: 0x7", "The servlet answered with result code 0x7"},
    };
    auto sheet = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        commtest::ServletServer server;
        uint16_t port = commtest::FindFreePort();
        if (c.status != 0) {
            commtest::ServletOptions options;
            options.Status = c.status;
            options.Code = c.code;
            ASSERT_TRUE(server.Start(m_temp.Path() / c.name, options));
            port = server.Port();
        }
        m_boxes.Clear();
        PointAt(*sheet, port);
        Click(*sheet, IDC_TEST_CONNECTION);

        ASSERT_EQ(m_boxes.Records().size(), 1u);
        const CMessageBoxRecorder::Record& box = m_boxes.Records()[0];
        EXPECT_EQ(box.text, English(c.text));
        const std::string report = Utf8(box.detailedText);
        EXPECT_EQ(report.rfind(c.summary, 0), 0u) << report;
        EXPECT_NE(report.find(c.step), std::string::npos) << report;
        if (c.hint != nullptr) {
            EXPECT_NE(report.find("    What to do: " + std::string(c.hint)), std::string::npos)
                << report;
        }
        // PointAt toggles the proxy and the server login: back as loaded.
        Click(sheet->GeneralPage(), IDC_PROXY_ENABLED);
        Click(sheet->GeneralPage(), IDC_SERVER_AUTH);
    }
}

TEST_F(SettingsSheetTest, TabOrderRunsThroughThePageBeforeTheButtons) {
    auto sheet = Open();
    std::vector<QWidget*> order;
    QWidget* tabs = sheet->GetDlgItem(IDC_TAB);
    for (QWidget* w = tabs->nextInFocusChain(); w != tabs && order.size() < 200;
         w = w->nextInFocusChain()) {
        if (w->isVisibleTo(sheet.get()) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus))
            order.push_back(w);
    }
    auto position = [&](QWidget* w) { return std::find(order.begin(), order.end(), w) - order.begin(); };
    CNetworkPage& page = sheet->GeneralPage();
    EXPECT_LT(position(page.GetDlgItem(IDC_SERVER_ADDRESS)), position(page.GetDlgItem(IDC_SERVER_PORT)));
    EXPECT_LT(position(page.GetDlgItem(IDC_PROXY_PORT)), position(sheet->GetDlgItem(IDC_TEST_CONNECTION)));
    EXPECT_LT(position(sheet->GetDlgItem(IDC_TEST_CONNECTION)), position(sheet->GetDlgItem(IDOK)));
    EXPECT_LT(position(sheet->GetDlgItem(IDOK)), static_cast<long>(order.size()));
}

TEST_F(SettingsSheetTest, TestConnectionToAServerThatNeverAnswersKeepsTheUiAliveAndCancels) {
    commtest::ServletServer server;
    commtest::ServletOptions options;
    options.DelaySeconds = 600;
    ASSERT_TRUE(server.Start(m_temp.Path() / "servlet", options));
    auto sheet = Open();
    PointAt(*sheet, server.Port());
    sheet->AdvancedPage().SetDlgItemText(IDC_TIMEOUT, u"300");

    int ticks = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&ticks] { ++ticks; });
    heartbeat.start(20);
    std::chrono::steady_clock::time_point cancelledAt;
    QString shownText;
    SetConnectionTestProgressObserverForTesting([&](CConnectionTestProgress* window) {
        shownText = window->findChild<QLabel*>()->text();
        QTimer::singleShot(400, window, [window, &cancelledAt] {
            cancelledAt = std::chrono::steady_clock::now();
            window->findChild<QPushButton*>(CONNECTION_TEST_CANCEL_NAME)->click();
        });
    });
    Click(*sheet, IDC_TEST_CONNECTION);
    const auto returned = std::chrono::steady_clock::now();
    SetConnectionTestProgressObserverForTesting({});

    EXPECT_LT(returned - cancelledAt, std::chrono::seconds(1));
    EXPECT_GE(ticks, 10) << "the UI thread served its timers during the test";
    EXPECT_EQ(shownText, QStringLiteral("Testing the connection to 127.0.0.1:%1…").arg(server.Port()));
    EXPECT_TRUE(m_boxes.Records().empty()) << "a cancelled test shows no result";
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(SettingsSheetTest, ReadOnlyFileIsReportedTheSheetClosesAndTheAgentIsNotTold) {
    ::chmod(HomeFile("AgentLocalConfig.xml").c_str(), 0444);
    const std::string local = Document("AgentLocalConfig.xml");
    const std::string status = Document("AgentStatus.xml");
    auto sheet = Open();
    sheet->GeneralPage().SetDlgItemText(IDC_SERVER_ADDRESS, u"elsewhere");
    Click(*sheet, IDOK);
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{Utf8(English(IDS_NETWORK_CONFIG_SAVE_FAILED))});
    EXPECT_EQ(m_boxes.Records()[0].owner, sheet.get());
    EXPECT_EQ(sheet->result(), IDOK);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(Document("AgentLocalConfig.xml"), local);
    EXPECT_EQ(Document("AgentStatus.xml"), status);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);
    EXPECT_EQ(g_selfConfigChange.load(), 0);
}

namespace {

// What a read-only sheet must look like; the first failing check's number,
// 0 when all hold (so that a child process can answer it too).
int ReadOnlyLookProblem(CConfigureAgent4VSM& sheet, const QString& line, bool testConnection) {
    const auto* label = sheet.findChild<QLabel*>(QString::fromLatin1(SETTINGS_READ_ONLY_LINE_NAME));
    if (!label || !label->isVisible() || label->text() != line)
        return 1;
    if (sheet.GetDlgItem(IDOK)->isVisible() || sheet.GetDlgItem(IDOK)->isEnabled())
        return 2;
    if (!sheet.IsDlgItemEnabled(IDCANCEL))
        return 3;
    if (sheet.IsDlgItemEnabled(IDC_TEST_CONNECTION) != testConnection)
        return 4;
    // The line lies between the pages and the buttons, all inside the sheet.
    const QRect tabs = sheet.GetDlgItem(IDC_TAB)->geometry();
    const QRect cancel = sheet.GetDlgItem(IDCANCEL)->geometry();
    if (label->geometry().top() <= tabs.bottom() || label->geometry().bottom() >= cancel.top() ||
        cancel.bottom() >= sheet.height())
        return 5;
    for (CFrameworkDialog* page : {static_cast<CFrameworkDialog*>(&sheet.GeneralPage()),
                                   static_cast<CFrameworkDialog*>(&sheet.AdvancedPage())}) {
        for (const CBuiltControl& control : page->Controls().All()) {
            const bool usable = control.widget->isEnabledTo(&sheet);
            switch (control.kind) {
            case ControlKind::Edit:
                if (!qobject_cast<QLineEdit*>(control.widget)->isReadOnly())
                    return 10 + control.id % 100;
                break;
            case ControlKind::CheckBox:
            case ControlKind::RadioButton:
                if (usable)
                    return 20;
                break;
            case ControlKind::PushButton:
                if (usable && control.id != IDC_HTTPS_SETTINGS)
                    return 30;
                break;
            default:
                break;
            }
        }
    }
    return 0;
}

QString ReadOnlyLine(unsigned id) {
    return QString::fromStdU16String(English(id)).replace(QStringLiteral("%s"),
                                                           QStringLiteral(OPAL_ADMIN_GROUP));
}

} // namespace

// A user who may read but not change the settings (told so here; the rule
// itself is tested where it is made): the values show, nothing takes a
// change, OK is not offered, and the HTTPS settings open read-only too.
TEST_F(SettingsSheetTest, ReadOnlySheetShowsTheValuesAndTakesNoChange) {
    SettingsSheetContext context;
    context.languageModule = [] { return CResourceLookup::ProgramModule(); };
    context.serviceName = u"Svc";
    context.access = [] { return AgentSettingsAccess{true, false}; };
    CConfigureAgent4VSM sheet(std::move(context));
    ASSERT_TRUE(sheet.CreateModeless());
    sheet.show();
    QApplication::setActiveWindow(&sheet);
    const std::string local = Document("AgentLocalConfig.xml");
    const int untouchedHeight = [] {
        SettingsSheetContext plain;
        plain.languageModule = [] { return CResourceLookup::ProgramModule(); };
        CConfigureAgent4VSM editable(std::move(plain));
        editable.CreateModeless();
        return editable.height();
    }();

    EXPECT_TRUE(sheet.IsReadOnly());
    EXPECT_EQ(ReadOnlyLookProblem(sheet, ReadOnlyLine(IDS_SETTINGS_READ_ONLY), true), 0);
    EXPECT_GT(sheet.height(), untouchedHeight) << "the sheet grows by the line";
    EXPECT_EQ(sheet.GeneralPage().GetDlgItemText(IDC_SERVER_ADDRESS), u"kestrel.example.com");
    EXPECT_TRUE(sheet.GeneralPage().IsDlgItemEnabled(IDC_HTTPS_SETTINGS));
    EXPECT_TRUE(m_boxes.Records().empty());

    WhenModal([](QWidget* modal) {
        auto* https = qobject_cast<CSSLConfig*>(modal);
        ASSERT_NE(https, nullptr);
        EXPECT_FALSE(https->GetDlgItem(IDOK)->isVisible());
        EXPECT_TRUE(qobject_cast<QLineEdit*>(https->GetDlgItem(IDC_CA_PATH))->isReadOnly());
        EXPECT_EQ(https->GetDlgItemText(IDC_CA_PATH), u"certs/kestrel-root-ca.cer");
        for (const int id : {IDC_CA_BROWSE, IDC_CLIENT_CERT_REQUIRED, IDC_CLIENT_CERT_BROWSE})
            EXPECT_FALSE(https->IsDlgItemEnabled(id)) << id;
        https->SetDlgItemText(IDC_CA_PATH, u"/elsewhere.cer");
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(https, &enter);
        EXPECT_TRUE(https->isVisible()) << "Enter is no OK here";
        Click(*https, IDCANCEL);
    });
    Click(sheet.GeneralPage(), IDC_HTTPS_SETTINGS);
    EXPECT_EQ(sheet.GeneralPage().m_state.CACertPath, u"certs/kestrel-root-ca.cer");

    // Neither Enter nor a programmatic OK saves.
    sheet.GetDlgItem(IDCANCEL)->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&sheet, &enter);
    qobject_cast<QAbstractButton*>(sheet.GetDlgItem(IDOK))->click();
    EXPECT_EQ(Document("AgentLocalConfig.xml"), local);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 0);
    EXPECT_EQ(g_selfConfigChange.load(), 0);
}

// The same sheet opened by real users in the install's layout, with an
// administrators' group of the test's own: a non-member who may not even
// read the configuration; one who may read it (an administrator made it
// readable) with no system helper, then refused by polkit; and a member
// whose OK saves through the helper the bytes root's own OK saves, the file
// staying root's with its mode.
TEST_F(SettingsSheetTest, AsMemberAndNonMemberInTheInstallsLayout) {
    SKIP_UNLESS_ROOT();
    const gid_t group = UnusedGroupId();
    ApplyInstallModes(Home(), RegistryRootDir(), group);
    const std::string local = Document("AgentLocalConfig.xml");
    const auto open = [] {
        SettingsSheetContext context;
        context.languageModule = [] { return CResourceLookup::ProgramModule(); };
        context.serviceName = u"Svc";
        auto sheet = std::make_unique<CConfigureAgent4VSM>(std::move(context));
        sheet->CreateModeless();
        sheet->show();
        return sheet;
    };
    const auto readOnlyWithValues = [&] {
        auto sheet = open();
        if (!m_boxes.Records().empty())
            return 40;
        if (sheet->GeneralPage().GetDlgItemText(IDC_SERVER_ADDRESS) != u"kestrel.example.com")
            return 42;
        return ReadOnlyLookProblem(*sheet, ReadOnlyLine(IDS_SETTINGS_READ_ONLY), true);
    };

    // Not readable: nothing true to show, so nothing is usable but Cancel,
    // and no message asks to check a file that is fine.
    int rc = RunUnprivileged([&] {
        auto sheet = open();
        if (!m_boxes.Records().empty())
            return 40;
        if (sheet->GeneralPage().isEnabled() || sheet->AdvancedPage().isEnabled())
            return 41;
        return ReadOnlyLookProblem(*sheet, ReadOnlyLine(IDS_SETTINGS_NOT_READABLE), false);
    });
    EXPECT_EQ(rc, 0);

    // Readable, but no helper to save through: read-only.
    ::chmod(HomeFile("AgentLocalConfig.xml").c_str(), 0644);
    const std::string noBus = "unix:path=" + (m_temp.Path() / "no-bus").string();
    rc = RunUnprivileged([&] {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", noBus.c_str(), 1);
        return readOnlyWithValues();
    });
    EXPECT_EQ(rc, 0);

    helpertest::HelperSystem system;
    if (const std::string why = system.Start(Home(), RegistryRootDir(), group); !why.empty())
        GTEST_SKIP() << "the rest goes through the system helper: " << why;
    // polkit refuses a user outside the group (no password to give here).
    system.SetNobodyMember(false);
    EXPECT_EQ(RunUnprivileged(readOnlyWithValues), 0);
    ::chmod(HomeFile("AgentLocalConfig.xml").c_str(), 0640);
    EXPECT_EQ(Document("AgentLocalConfig.xml"), local);

    const auto edit = [&] {
        auto sheet = open();
        if (sheet->IsReadOnly() || !sheet->GetDlgItem(IDOK)->isVisible() ||
            sheet->findChild<QLabel*>(QString::fromLatin1(SETTINGS_READ_ONLY_LINE_NAME)))
            return 50;
        sheet->GeneralPage().SetDlgItemText(IDC_SERVER_ADDRESS, u"kestrel2.example.com");
        Click(*sheet, IDOK);
        if (!m_boxes.Records().empty() || sheet->result() != IDOK)
            return 51;
        return g_selfConfigChange.load() == 1 ? 0 : 52;
    };
    system.SetNobodyMember(true);
    EXPECT_EQ(RunUnprivileged(edit, {group}), 0);
    const std::string helperBytes = Document("AgentLocalConfig.xml");
    EXPECT_NE(helperBytes.find("kestrel2.example.com"), std::string::npos);
    EXPECT_EQ(OwnershipOf(HomeFile("AgentLocalConfig.xml")), (FileOwnership{0, group, 0640}));
    EXPECT_EQ(OwnershipOf(HomeFile("AgentStatus.xml")), (FileOwnership{0, 0, 0644}));
    EXPECT_NE(Document("AgentStatus.xml").find("<NetConfigChanged>1</NetConfigChanged>"),
              std::string::npos);
    EXPECT_EQ(AgentRegistryInt(u"ToolTag"), 2);

    // Root's OK writes the same bytes itself.
    WriteFileBytes(HomeFile("AgentLocalConfig.xml"), local);
    EXPECT_EQ(edit(), 0);
    EXPECT_EQ(Document("AgentLocalConfig.xml"), helperBytes);
}
