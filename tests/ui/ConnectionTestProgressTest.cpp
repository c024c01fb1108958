// The connection test behind its progress window, on the offscreen platform
// against the loopback servlet server: the outcome of a finished test, and a
// server that never answers, cancelled each way a user can.

#include "ui/ConnectionTestProgress.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/gui/ResourceLookup.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using commtest::ServletOptions;
using commtest::ServletServer;
using std::chrono::milliseconds;

constexpr char kGuid[] = "5D2E8F10-4A6B-4C3D-9E7F-1A2B3C4D5E6F";

QString Text(unsigned id) {
    return QString::fromStdU16String(CResourceLookup::LoadString(id).value_or(u"?"));
}

int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// What the window looked like while the test ran.
struct SeenWindow {
    bool seen = false;
    bool visible = false;
    bool applicationModal = false;
    bool ownedByOwner = false;
    QString title;
    QString text;
    QString textName;
    QString cancel;
    QString cancelName;
};

class ConnectionTestProgressTest : public testsupport::AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log.emplace(m_temp.Path() / "setting.log");
        commtest::WriteSysConfig(Home(), kGuid, 3);
        m_owner.setObjectName(QStringLiteral("Sheet"));
        m_owner.show();
    }
    void TearDown() override {
        SetConnectionTestProgressObserverForTesting({});
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    ConnectionTestSettings Settings(uint16_t port) const {
        return commtest::LoopbackSettings(port, u"/opalCommunicatorServer/DataPortServlet", 300);
    }
    std::optional<ConnectionTestOutcome> Run(const ConnectionTestSettings& settings,
                                             ConnectionDiagnosis* diagnosis = nullptr) {
        const QString text = TestingConnectionText(Text(IDS_TESTING_CONNECTION),
                                                   QString::fromStdU16String(settings.ServerName),
                                                   settings.ServerPort);
        return RunConnectionTestWithProgress(&m_owner, settings, text, Text(IDS_CANCEL), diagnosis);
    }
    // Looks at the window as it appears; `then` may act on it.
    void Observe(SeenWindow& seen, std::function<void(CConnectionTestProgress*)> then = nullptr) {
        SetConnectionTestProgressObserverForTesting(
            [this, &seen, then](CConnectionTestProgress* window) {
                auto* label = window->findChild<QLabel*>();
                auto* button = window->findChild<QPushButton*>(CONNECTION_TEST_CANCEL_NAME);
                seen.seen = window->objectName() == CONNECTION_TEST_PROGRESS_NAME;
                seen.visible = window->isVisible();
                seen.applicationModal = window->windowModality() == Qt::ApplicationModal;
                seen.ownedByOwner = window->parentWidget() == &m_owner;
                seen.title = window->windowTitle();
                seen.text = label ? label->text() : QString();
                seen.textName = label ? label->accessibleName() : QString();
                seen.cancel = button ? button->text() : QString();
                seen.cancelName = button ? button->accessibleName() : QString();
                if (then)
                    then(window);
            });
    }
    static bool WindowLeft() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == CONNECTION_TEST_PROGRESS_NAME)
                return true;
        return false;
    }
    fs::path Work(const std::string& name) const {
        const fs::path work = m_temp.Path() / name;
        fs::create_directories(work);
        return work;
    }

    std::optional<testsupport::LogCapture> m_log;
    QWidget m_owner;
};

TEST_F(ConnectionTestProgressTest, FinishedTestReturnsTheServersOutcome) {
    struct Case {
        uint32_t code;
        uint32_t textId;
    };
    for (const Case& c : {Case{0, IDS_CONNTEST_SUCCESS}, Case{7, IDS_CONNTEST_SERVER_ERROR}}) {
        SCOPED_TRACE(c.code);
        ServletServer server;
        ServletOptions options;
        options.Code = c.code;
        ASSERT_TRUE(server.Start(Work("code-" + std::to_string(c.code)), options));
        SeenWindow seen;
        Observe(seen);

        ConnectionDiagnosis diagnosis;
        const std::optional<ConnectionTestOutcome> outcome =
            Run(Settings(server.Port()), &diagnosis);
        ASSERT_TRUE(outcome);
        EXPECT_FALSE(outcome->Cancelled);
        EXPECT_EQ(outcome->Success, c.code == 0);
        // The worker's account arrives with its outcome.
        ASSERT_EQ(diagnosis.Steps.size(), 5u);
        EXPECT_EQ(diagnosis.FirstFailure(), c.code == 0 ? nullptr : &diagnosis.Steps.back());
        EXPECT_EQ(outcome->TextId, c.textId);
        EXPECT_EQ(outcome->ServerCode, c.code);
        EXPECT_EQ(server.Requests().size(), 1u);

        const QString expected =
            QStringLiteral("Testing the connection to 127.0.0.1:%1\u2026").arg(server.Port());
        EXPECT_TRUE(seen.seen);
        EXPECT_TRUE(seen.visible);
        EXPECT_TRUE(seen.applicationModal);
        EXPECT_TRUE(seen.ownedByOwner);
        EXPECT_EQ(seen.title, QApplication::applicationDisplayName());
        EXPECT_EQ(seen.text, expected);
        EXPECT_EQ(seen.textName, expected);
        EXPECT_EQ(seen.cancel, QStringLiteral("Cancel"));
        EXPECT_EQ(seen.cancelName, QStringLiteral("Cancel"));
        EXPECT_FALSE(WindowLeft());
    }
    EXPECT_EQ(CountOf(m_log->Text(), "Connection test cancelled"), 0);
}

TEST_F(ConnectionTestProgressTest, CancelOfAServerThatNeverAnswersEndsAtOnce) {
    struct Case {
        const char* name;
        std::function<void(CConnectionTestProgress*)> cancel;
    };
    const Case cases[] = {
        {"Cancel button",
         [](CConnectionTestProgress* window) {
             window->findChild<QPushButton*>(CONNECTION_TEST_CANCEL_NAME)->click();
         }},
        {"Escape",
         [](CConnectionTestProgress* window) {
             QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(window, &escape);
         }},
        {"closing the window", [](CConnectionTestProgress* window) { window->close(); }},
    };
    ServletServer server;
    ServletOptions options;
    options.DelaySeconds = 3000;
    ASSERT_TRUE(server.Start(Work("silent"), options));

    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++round;
        int ticks = 0;
        Clock::time_point cancelledAt;
        QPointer<QPushButton> buttonAfterCancel;
        QTimer ticker;
        ticker.setInterval(20);
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        SeenWindow seen;
        Observe(seen, [&](CConnectionTestProgress* window) {
            ticker.start();
            QTimer::singleShot(300, window, [&, window] {
                cancelledAt = Clock::now();
                c.cancel(window);
                buttonAfterCancel = window->findChild<QPushButton*>(CONNECTION_TEST_CANCEL_NAME);
            });
        });

        const std::optional<ConnectionTestOutcome> outcome = Run(Settings(server.Port()));
        const Clock::duration sinceCancel = Clock::now() - cancelledAt;
        ticker.stop();

        EXPECT_FALSE(outcome);
        EXPECT_TRUE(seen.visible);
        EXPECT_LT(sinceCancel, milliseconds(1000))
            << std::chrono::duration_cast<milliseconds>(sinceCancel).count() << " ms";
        // The UI thread went on serving its timers all along.
        EXPECT_GE(ticks, 8);
        EXPECT_EQ(server.Requests().size(), static_cast<std::size_t>(round));
        EXPECT_FALSE(WindowLeft());
        EXPECT_TRUE(buttonAfterCancel.isNull());
        EXPECT_EQ(CountOf(m_log->Text(), "Connection test cancelled by the user. ["), round);
    }
}

TEST_F(ConnectionTestProgressTest, ProgressTextNamesServerAndPortLiterally) {
    struct Case {
        QString format;
        QString server;
        int32_t port;
        QString expected;
    };
    const Case cases[] = {
        {Text(IDS_TESTING_CONNECTION), QStringLiteral("kestrel.example"), 8443,
         QStringLiteral("Testing the connection to kestrel.example:8443\u2026")},
        // The port as the test uses it: its low 16 bits.
        {QStringLiteral("%s:%d"), QStringLiteral("h"), 65536 + 80, QStringLiteral("h:80")},
        {QStringLiteral("%s:%d"), QStringLiteral("odd%dname"), 1, QStringLiteral("odd%dname:1")},
        // A translation may put the port first.
        {QStringLiteral("%d @ %s"), QStringLiteral("a%s"), 2, QStringLiteral("2 @ a%s")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TestingConnectionText(c.format, c.server, c.port), c.expected)
            << c.expected.toStdString();
}

} // namespace
