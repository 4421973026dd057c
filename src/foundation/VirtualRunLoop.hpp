#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/RunLoop.hpp"
#include "foundation/TimerQueue.hpp"

namespace tandril {

// A run loop in virtual time for tests. Nothing happens until the test drives it:
// runUntilIdle() runs everything posted and due now; advance(d) moves the clock forward
// and fires every job that falls due on the way, in due order (including jobs that due
// jobs schedule). Work posted from other threads (HTTP completions) is queued safely and
// runs when the test drives the loop.
class VirtualRunLoop : public RunLoop {
public:
    VirtualRunLoop();
    ~VirtualRunLoop() override;

    void post(Job job) override;
    TimerId schedule(Duration delay, Job job) override;
    void cancel(TimerId id) override;
    TimePoint now() const override;
    bool isLoopThread() const override;

    // Runs everything that is due at the current virtual time. Returns how many jobs ran.
    std::size_t runUntilIdle();
    // Moves virtual time forward by `d`, running each job at its due time.
    void advance(Duration d);
    void advanceSeconds(double s) { advance(seconds(s)); }
    // Blocks (in real time, at most `limit`) until another thread posts work, then runs
    // what is due. For tests that wait on a real peer such as a loopback HTTP server.
    // Returns false when nothing arrived in time.
    bool waitForPosted(std::chrono::milliseconds limit);
    // Runs until `done()` is true, waiting for posts from other threads up to `limit` in all.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // Jobs waiting (posted or scheduled), for leak checks in tests.
    std::size_t pendingJobs() const;

private:
    bool runOneDue(TimePoint limit);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::thread::id owner_;
    TimePoint now_{};
    TimerQueue queue_;
};

}  // namespace tandril
