#pragma once
// Time as the waiting code sees it. Everything that polls or waits (service
// start/stop budgets, the status monitor) takes a Clock, so tests can run
// minutes of waiting in no time with FakeClock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale; only differences mean anything.
    virtual std::uint64_t NowMs() = 0;
    virtual void SleepMs(std::uint32_t milliseconds) = 0;
};

class SystemClock final : public Clock {
public:
    std::uint64_t NowMs() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
    void SleepMs(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    static SystemClock& Instance() {
        static SystemClock clock;
        return clock;
    }
};

// Time that moves only when somebody sleeps. Sleeps return at once; they are
// counted, and an optional hook runs after each one with the new time, so a
// test can change the world "n seconds later".
class FakeClock final : public Clock {
public:
    using SleepHook = std::function<void(std::uint64_t nowMs)>;

    explicit FakeClock(std::uint64_t startMs = 0) : m_now(startMs) {}

    std::uint64_t NowMs() override {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_now;
    }
    void SleepMs(std::uint32_t milliseconds) override {
        SleepHook hook;
        std::uint64_t now = 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_now += milliseconds;
            m_sleptMs += milliseconds;
            ++m_sleeps;
            now = m_now;
            hook = m_hook;
        }
        if (hook)
            hook(now);
    }

    void Advance(std::uint64_t milliseconds) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_now += milliseconds;
    }
    void SetSleepHook(SleepHook hook) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_hook = std::move(hook);
    }
    std::uint64_t Sleeps() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_sleeps;
    }
    std::uint64_t SleptMs() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_sleptMs;
    }

private:
    mutable std::mutex m_lock;
    std::uint64_t m_now;
    std::uint64_t m_sleptMs = 0;
    std::uint64_t m_sleeps = 0;
    SleepHook m_hook;
};
