#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/RunLoop.hpp"
#include "foundation/TimerQueue.hpp"

namespace tandril {

// A single-threaded run loop for headless programs, on the steady clock.
// run() blocks the calling thread (which becomes the loop's thread) until stop().
// A GUI host can instead call runDue() from its own event loop and install a wake-up hook.
class RealRunLoop : public RunLoop {
public:
    RealRunLoop();
    ~RealRunLoop() override;

    void post(Job job) override;
    TimerId schedule(Duration delay, Job job) override;
    void cancel(TimerId id) override;
    TimePoint now() const override;
    bool isLoopThread() const override;

    void run();
    // Safe from any thread and from signal-handling threads.
    void stop();
    // Runs everything due now; returns the time until the next job, or a negative duration
    // when nothing is scheduled.
    Duration runDue();
    // Called (from any thread) whenever new work arrives; a GUI host uses it to wake up.
    void setWakeUpHook(std::function<void()> hook);

private:

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> stopping_{false};
    std::thread::id owner_;
    TimerQueue queue_;
    std::function<void()> wakeUp_;
};

}  // namespace tandril
