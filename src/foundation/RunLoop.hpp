#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tandril {

using Duration = std::chrono::nanoseconds;
// Monotonic time since the loop's epoch; used for every interval.
using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

// A delay in seconds. Negative and NaN give zero; delays past the range of Duration
// (about 292 years) give Duration::max(), "never" in practice.
Duration seconds(double s);

// `delay` after `from`, with a negative delay counting as zero and the sum held at the
// clock's end instead of overflowing.
TimePoint dueAfter(TimePoint from, Duration delay);

// The main thread's loop. Everything the program decides runs here.
//
// Two implementations: VirtualRunLoop (tests: virtual time, advance() fires due work at
// once, in order) and RealRunLoop (headless programs). The GUI programs drive a RealRunLoop
// from Qt's event loop.
class RunLoop {
public:
    using Job = std::function<void()>;
    using TimerId = std::uint64_t;

    // What another thread keeps instead of a RunLoop*: post() reaches the loop while it
    // lives, and once the loop's destruction has begun it drops the job and returns false.
    // A loop built later at the same address has a handle of its own. Safe from any thread.
    class Handle {
    public:
        explicit Handle(RunLoop* loop) : loop_(loop) {}
        bool post(Job job);
        // Whether the loop still lives.
        bool isAlive() const;

    private:
        friend class RunLoop;
        mutable std::mutex mutex_;
        RunLoop* loop_;
    };

    virtual ~RunLoop();

    // The loop of the main thread. Set once by the program or the test fixture.
    static RunLoop& main();
    static void setMain(RunLoop* loop);
    static bool hasMain();

    // Runs `job` on the loop's thread soon, after work already posted. Safe from any thread.
    virtual void post(Job job) = 0;
    // A plain delayed job (the main queue's "after"). Safe from any thread.
    virtual TimerId schedule(Duration delay, Job job) = 0;
    // Cancels a job from schedule() or performAfterDelay() that has not run yet.
    virtual void cancel(TimerId id) = 0;

    // A delayed call with an owner and a name, cancellable by both: the loop keeps `owner`
    // alive until the call runs or is cancelled (as a delayed selector retains its target).
    TimerId performAfterDelay(std::shared_ptr<void> owner, std::string name, Duration delay, Job job);
    // Cancels every pending call of `owner` with `name`.
    void cancelPerform(const void* owner, const std::string& name);
    // Cancels every pending call of `owner`, whatever its name.
    void cancelPerforms(const void* owner);
    // How many calls of `owner` (with `name`, when given) are pending: for tests and checks.
    std::size_t pendingPerforms(const void* owner, const std::string* name = nullptr) const;

    // This loop's handle, for threads that may outlive it.
    std::shared_ptr<Handle> handle() const { return handle_; }

    // Monotonic now.
    virtual TimePoint now() const = 0;
    // True on the loop's own thread.
    virtual bool isLoopThread() const = 0;

protected:
    RunLoop();
    // Implementations report when a performAfterDelay job has run or was cancelled.
    void forgetPerform(TimerId id);
    // Releases every pending performAfterDelay owner. Implementations call it from their
    // destructor, after dropping their queued jobs, while the object is still whole: an
    // owner's destructor may call back into the loop.
    void discardPerforms();
    // Turns the handle away from the loop. Implementations call it first in their
    // destructor, so that no other thread posts into a loop that is coming apart.
    void retireHandle();

private:
    // Cancels the pending calls of `owner`: those with `name`, or all of them when null.
    void cancelPerformsMatching(const void* owner, const std::string* name);

    struct PerformTable;
    std::shared_ptr<PerformTable> performs_;
    std::shared_ptr<Handle> handle_;
    PerformTable& table() const;
};

}  // namespace tandril
