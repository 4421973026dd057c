#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "foundation/RunLoop.hpp"
#include "foundation/TimerQueue.hpp"

namespace tandril {

// The main loop of the Qt programs: the run loop's jobs run from Qt's event loop on the
// thread that made this object (the thread of the QCoreApplication), so delayed calls,
// posted work, D-Bus signals and windows share one thread. One single-shot QTimer is armed
// for the earliest due job. Work posted from other threads re-arms it through a queued call.
// A QTimer holds an int of milliseconds (about 24.8 days): a longer wait is cut to that and
// the timer is armed again when it fires.
class QtRunLoop : public RunLoop {
public:
    // Make it on the Qt application's thread, after the QCoreApplication.
    QtRunLoop();
    ~QtRunLoop() override;
    QtRunLoop(const QtRunLoop&) = delete;
    QtRunLoop& operator=(const QtRunLoop&) = delete;

    void post(Job job) override;
    TimerId schedule(Duration delay, Job job) override;
    void cancel(TimerId id) override;
    TimePoint now() const override;
    bool isLoopThread() const override;

    // The timer interval for a wait of `left`: rounded up to whole milliseconds (a timer that
    // fires early only finds nothing due), never negative, at most kMaxTimerInterval.
    static int timerIntervalFor(Duration left);
    static constexpr int kMaxTimerInterval = 2147483647;

    // Jobs waiting (posted or scheduled).
    std::size_t pendingJobs() const;
    // The interval the timer is armed with, or -1 when it is idle (for tests).
    int armedInterval() const;

private:
    // Runs what was due when the pass began (work posted meanwhile waits for the next pass,
    // so Qt's own events are never starved), then arms the timer for what is left.
    void runDue();
    // Arms the timer for the earliest job, or stops it. Loop thread only.
    void arm();
    // From any thread: gets arm() called on the loop thread.
    void requestArm();

    mutable std::mutex mutex_;
    TimerQueue queue_;
    const std::thread::id owner_;
    std::unique_ptr<QTimer> timer_;
    std::atomic<bool> armRequested_{false};
};

}  // namespace tandril
