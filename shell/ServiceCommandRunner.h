#pragma once
// Runs a service command of the tray menu on a thread of its own, so that
// the tool stays alive while the service manager is waited for (minutes, at
// worst). The command itself is RunServiceCommand, unchanged: the texts it
// loads are taken on the caller's thread beforehand, and the box it would
// show is handed back as the outcome, for the caller to show on its own
// thread. The worker never touches the user interface.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/system/Clock.h"
#include "shell/AgentServiceControl.h"

struct ServiceCommandOutcome {
    ServiceCommand command = ServiceCommand::Start;
    bool succeeded = false;
    // The message box RunServiceCommand asked for.
    std::u16string text;
    std::u16string caption;
    ServiceMessageIcon icon = ServiceMessageIcon::Error;
};

class CServiceCommandRunner {
public:
    // Called on the worker thread, as the last thing it does.
    using Done = std::function<void(const ServiceCommandOutcome&)>;
    using LoadText = std::function<std::u16string(unsigned id)>;

    explicit CServiceCommandRunner(Clock& clock) : m_clock(clock) {}
    // Cuts a running wait short and joins the worker.
    ~CServiceCommandRunner();
    CServiceCommandRunner(const CServiceCommandRunner&) = delete;
    CServiceCommandRunner& operator=(const CServiceCommandRunner&) = delete;

    // Starts `command`; `loadText` is called here, on the caller's thread.
    // False when a command is still running (one at a time, as the menu
    // offers them).
    bool Start(ServiceCommand command, std::u16string serviceName, const LoadText& loadText,
               Done done);
    bool Running() const { return m_running.load(); }
    // Makes the wait end early: its sleeps return at once and its time runs
    // far ahead, so the wait's own budget ends it within a step. For the end
    // of the run only; the outcome then still comes, but nobody shows it.
    void Cancel();
    // Waits for the worker, if there is one.
    void Join();

private:
    // The caller's clock until Cancel, then a clock whose time has run out.
    class CCancellableClock final : public Clock {
    public:
        explicit CCancellableClock(Clock& base) : m_base(base) {}
        std::uint64_t NowMs() override;
        void SleepMs(std::uint32_t milliseconds) override;
        void Cancel() { m_cancelled = true; }
        void Reset() { m_cancelled = false; }

    private:
        Clock& m_base;
        std::atomic<bool> m_cancelled{false};
    };

    // ServiceCommandUi for the worker: texts from the table taken on the
    // caller's thread, the message box kept as the outcome.
    class CDeferredUi final : public ServiceCommandUi {
    public:
        std::u16string LoadText(unsigned id) override;
        void ShowMessage(const std::u16string& text, const std::u16string& caption,
                         ServiceMessageIcon icon) override;
        std::map<unsigned, std::u16string> texts;
        ServiceCommandOutcome outcome;
    };

    Clock& m_clock;
    CCancellableClock m_waitClock{m_clock};
    std::thread m_worker;
    std::atomic<bool> m_running{false};
};
