#include "shell/ServiceCommandRunner.h"

namespace {

// Far beyond every budget of the waits, yet far from overflowing when a wait
// adds its own steps to it.
constexpr std::uint64_t CANCELLED_TIME_LEAP_MS = std::uint64_t{1} << 40;

// Every text RunServiceCommand may load: the worker cannot reach the
// resource modules, so a text missing here comes out empty.
constexpr unsigned TEXT_IDS[] = {kServiceCaptionId,        kServiceStopSucceededId,
                                 kServiceStartSucceededId, kServiceRestartSucceededId,
                                 kServiceStartFailedId,    kServiceStopFailedId,
                                 kServiceRestartFailedId,  kServiceNeedsAdminGroupId};

} // namespace

std::uint64_t CServiceCommandRunner::CCancellableClock::NowMs() {
    const std::uint64_t now = m_base.NowMs();
    return m_cancelled ? now + CANCELLED_TIME_LEAP_MS : now;
}

void CServiceCommandRunner::CCancellableClock::SleepMs(std::uint32_t milliseconds) {
    if (!m_cancelled)
        m_base.SleepMs(milliseconds);
}

std::u16string CServiceCommandRunner::CDeferredUi::LoadText(unsigned id) {
    const auto found = texts.find(id);
    return found != texts.end() ? found->second : std::u16string();
}

void CServiceCommandRunner::CDeferredUi::ShowMessage(const std::u16string& text,
                                                     const std::u16string& caption,
                                                     ServiceMessageIcon icon) {
    outcome.text = text;
    outcome.caption = caption;
    outcome.icon = icon;
}

CServiceCommandRunner::~CServiceCommandRunner() {
    Cancel();
    Join();
}

bool CServiceCommandRunner::Start(ServiceCommand command, std::u16string serviceName,
                                  const LoadText& loadText, Done done) {
    if (m_running.load())
        return false;
    // The previous worker has delivered its outcome; only its thread is left.
    Join();
    auto ui = std::make_unique<CDeferredUi>();
    for (const unsigned id : TEXT_IDS)
        ui->texts[id] = loadText(id);
    ui->outcome.command = command;
    m_waitClock.Reset();
    m_running = true;
    m_worker = std::thread(
        [this, command, name = std::move(serviceName), ui = std::move(ui), done = std::move(done)] {
            ui->outcome.succeeded = RunServiceCommand(command, name, *ui, m_waitClock);
            if (done)
                done(ui->outcome);
            m_running = false;
        });
    return true;
}

void CServiceCommandRunner::Cancel() {
    m_waitClock.Cancel();
}

void CServiceCommandRunner::Join() {
    if (m_worker.joinable())
        m_worker.join();
}
