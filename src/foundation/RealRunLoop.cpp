#include "foundation/RealRunLoop.hpp"

namespace tandril {

RealRunLoop::RealRunLoop() : owner_(std::this_thread::get_id()) {}

RealRunLoop::~RealRunLoop() {
    retireHandle();
    std::map<std::pair<TimePoint, std::uint64_t>, TimerQueue::Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = queue_.takeAll();
    }
    dropped.clear();
    discardPerforms();
}

void RealRunLoop::post(Job job) { schedule(Duration::zero(), std::move(job)); }

RunLoop::TimerId RealRunLoop::schedule(Duration delay, Job job) {
    TimerId id;
    std::function<void()> wakeUp;
    {
        std::lock_guard lock(mutex_);
        id = queue_.add(dueAfter(now(), delay), std::move(job));
        wakeUp = wakeUp_;
    }
    cv_.notify_all();
    if (wakeUp) wakeUp();
    return id;
}

void RealRunLoop::cancel(TimerId id) {
    Job dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = queue_.remove(id);
    }
    forgetPerform(id);
}

TimePoint RealRunLoop::now() const {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

bool RealRunLoop::isLoopThread() const {
    std::lock_guard lock(mutex_);
    return std::this_thread::get_id() == owner_;
}

void RealRunLoop::run() {
    {
        std::lock_guard lock(mutex_);
        owner_ = std::this_thread::get_id();
    }
    std::unique_lock lock(mutex_);
    while (!stopping_.load()) {
        if (queue_.empty()) {
            cv_.wait(lock);
            continue;
        }
        TimePoint due = queue_.front().due;
        if (due > now()) {
            cv_.wait_until(lock, due);
            continue;
        }
        TimerQueue::Entry entry = queue_.popFront();
        lock.unlock();
        entry.job();
        entry.job = nullptr;  // destroyed outside the lock
        lock.lock();
    }
    // A stop() ends this run only; the loop can run again.
    stopping_.store(false);
}

void RealRunLoop::stop() {
    std::function<void()> wakeUp;
    {
        // Taking the lock orders this against run()'s check, so the wake-up is never lost.
        std::lock_guard lock(mutex_);
        stopping_.store(true);
        wakeUp = wakeUp_;
    }
    cv_.notify_all();
    if (wakeUp) wakeUp();
}

Duration RealRunLoop::runDue() {
    {
        std::lock_guard lock(mutex_);
        owner_ = std::this_thread::get_id();
    }
    // Only what is due when the pass starts runs now; jobs posted by these jobs wait for
    // the next pass, so a GUI host's own events are never starved.
    TimePoint limit = now();
    std::uint64_t lastSeq;
    {
        std::lock_guard lock(mutex_);
        lastSeq = queue_.nextSeq();
    }
    for (;;) {
        TimerQueue::Entry entry;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return Duration(-1);
            const TimerQueue::Entry& first = queue_.front();
            if (first.due > limit || first.seq >= lastSeq) {
                // Not due yet, or posted during this pass.
                Duration left = first.due - now();
                return left > Duration::zero() ? left : Duration::zero();
            }
            entry = queue_.popFront();
        }
        entry.job();
    }
}

void RealRunLoop::setWakeUpHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    wakeUp_ = std::move(hook);
}

}  // namespace tandril
