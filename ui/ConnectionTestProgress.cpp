#include "ui/ConnectionTestProgress.h"

#include <atomic>
#include <thread>
#include <utility>

#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

std::function<void(CConnectionTestProgress*)>& Observer() {
    static std::function<void(CConnectionTestProgress*)> observer;
    return observer;
}

// Replaces the two-character placeholder found at `at`, if one was found.
void ReplaceAt(QString& text, qsizetype at, const QString& value) {
    if (at >= 0)
        text.replace(at, 2, value);
}

} // namespace

CConnectionTestProgress::CConnectionTestProgress(QWidget* owner, const QString& progressText,
                                                 const QString& cancelText)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint),
      m_text(new QLabel(progressText, this)), m_cancel(new QPushButton(cancelText, this)) {
    setObjectName(QString::fromLatin1(CONNECTION_TEST_PROGRESS_NAME));
    setWindowTitle(QGuiApplication::applicationDisplayName());
    setAccessibleName(windowTitle());
    setWindowModality(Qt::ApplicationModal);

    m_text->setAccessibleName(progressText);
    m_text->setTextFormat(Qt::PlainText);
    // A range of nothing makes the bar a busy indicator; its animation is
    // what shows that the window is alive while nothing else moves.
    auto* busy = new QProgressBar(this);
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    m_cancel->setObjectName(QString::fromLatin1(CONNECTION_TEST_CANCEL_NAME));
    m_cancel->setAccessibleName(cancelText);
    m_cancel->setDefault(true);
    m_cancel->setAutoDefault(true);
    connect(m_cancel, &QPushButton::clicked, this, &CConnectionTestProgress::reject);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // A text set in a fallback font (Japanese) measures narrower than it
    // draws; a margin of a few characters keeps its end off the frame.
    m_text->ensurePolished();
    const int margin = m_text->fontMetrics().averageCharWidth() * 2;
    layout->setContentsMargins(margin, margin, margin, margin);
    m_text->setMinimumWidth(m_text->fontMetrics().horizontalAdvance(m_text->text()) + 2 * margin);
    layout->addWidget(m_text);
    layout->addWidget(busy);
    layout->addWidget(m_cancel, 0, Qt::AlignHCenter);
    busy->setMinimumWidth(qMax(240, m_text->sizeHint().width()));
    m_cancel->setFocus();
}

void CConnectionTestProgress::reject() {
    // The window stays up, and the sheet blocked behind it, until the worker
    // has ended, which takes a fraction of a second; a second test cannot be
    // started meanwhile.
    if (!m_cancelRequested) {
        m_cancelRequested = true;
        m_cancel->setEnabled(false);
        emit cancelRequested();
    }
}

QString TestingConnectionText(const QString& format, const QString& server, int32_t port) {
    QString text = format;
    const qsizetype serverAt = text.indexOf(QStringLiteral("%s"));
    const qsizetype portAt = text.indexOf(QStringLiteral("%d"));
    const QString portText = QString::number(static_cast<uint16_t>(port));
    // The later one first, so that the earlier position still holds.
    if (portAt > serverAt) {
        ReplaceAt(text, portAt, portText);
        ReplaceAt(text, serverAt, server);
    } else {
        ReplaceAt(text, serverAt, server);
        ReplaceAt(text, portAt, portText);
    }
    return text;
}

std::optional<ConnectionTestOutcome>
RunConnectionTestWithProgress(QWidget* owner, const ConnectionTestSettings& settings,
                              const QString& progressText, const QString& cancelText,
                              ConnectionDiagnosis* diagnosis) {
    std::atomic<bool> cancel{false};
    bool abandoned = false;
    std::optional<ConnectionTestOutcome> outcome;
    QEventLoop loop;

    // Held through a guard: the owner takes the window with it should it be
    // deleted while the test runs.
    QPointer<CConnectionTestProgress> window =
        new CConnectionTestProgress(owner, progressText, cancelText);
    const auto giveUp = [&] {
        abandoned = true;
        cancel = true;
    };
    QObject::connect(window, &CConnectionTestProgress::cancelRequested, &loop, giveUp);
    QObject::connect(window, &QObject::destroyed, &loop, giveUp);
    window->show();

    // The worker gets its own copy of the settings: the sheet's members may
    // change under it while events are served.
    std::thread worker([&cancel, &loop, &outcome, settings, diagnosis] {
        ConnectionDiagnosis account;
        ConnectionTestOutcome result = diagnosis != nullptr
                                           ? RunConnectionTest(settings, &cancel, &account)
                                           : RunConnectionTest(settings, &cancel);
        // Delivered on the UI thread, and only while this call still waits:
        // the loop takes the call with it when it goes.
        QMetaObject::invokeMethod(
            &loop,
            [&loop, &outcome, result, diagnosis, account = std::move(account)]() mutable {
                outcome = result;
                if (diagnosis != nullptr)
                    *diagnosis = std::move(account);
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    if (const auto& observer = Observer())
        observer(window);

    // A quit of the whole application also ends this loop: the test is then
    // abandoned like a cancelled one rather than waited for.
    loop.exec();
    if (!outcome)
        giveUp();
    worker.join();
    if (window) {
        QObject::disconnect(window, nullptr, &loop, nullptr);
        delete window.data();
    }
    if (abandoned)
        return std::nullopt;
    return outcome;
}

CMessageBoxRequest ConnectionTestResultBox(QWidget* owner, const ConnectionTestOutcome& outcome,
                                           const ConnectionDiagnosis& diagnosis,
                                           const std::function<std::u16string(unsigned)>& strings) {
    CMessageBoxRequest request;
    request.owner = owner;
    request.text = strings(outcome.TextId);
    request.caption = strings(outcome.CaptionId);
    request.icon = outcome.Success ? MessageIcon::Information : MessageIcon::Warning;
    request.topmost = true;
    // The steps and hints in the selected language; what the servers and
    // libcurl said stays as they said it.
    if (!diagnosis.Steps.empty())
        request.detailedText =
            QString::fromStdString(diagnosis.ReportText(strings)).toStdU16String();
    request.showDetailsLabel = strings(IDS_SHOW_DETAILS);
    request.hideDetailsLabel = strings(IDS_HIDE_DETAILS);
    return request;
}

void SetConnectionTestProgressObserverForTesting(
    std::function<void(CConnectionTestProgress*)> observer) {
    Observer() = std::move(observer);
}
