#include "foundation/VirtualRunLoop.hpp"

namespace tandril {

VirtualRunLoop::VirtualRunLoop() : owner_(std::this_thread::get_id()) {}

VirtualRunLoop::~VirtualRunLoop() {
    retireHandle();
    // Jobs are destroyed outside the lock: what they capture may call back into the loop.
    std::map<std::pair<TimePoint, std::uint64_t>, TimerQueue::Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = queue_.takeAll();
    }
    dropped.clear();
    discardPerforms();
}

void VirtualRunLoop::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        queue_.add(now_, std::move(job));
    }
    posted_.notify_all();
}

RunLoop::TimerId VirtualRunLoop::schedule(Duration delay, Job job) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = queue_.add(dueAfter(now_, delay), std::move(job));
    }
    posted_.notify_all();
    return id;
}

void VirtualRunLoop::cancel(TimerId id) {
    Job dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = queue_.remove(id);
    }
    forgetPerform(id);
}

TimePoint VirtualRunLoop::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool VirtualRunLoop::isLoopThread() const { return std::this_thread::get_id() == owner_; }

bool VirtualRunLoop::runOneDue(TimePoint limit) {
    TimerQueue::Entry entry;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty() || queue_.front().due > limit) return false;
        entry = queue_.popFront();
        if (entry.due > now_) now_ = entry.due;
    }
    entry.job();
    return true;
}

std::size_t VirtualRunLoop::runUntilIdle() {
    std::size_t count = 0;
    while (runOneDue(now())) ++count;
    return count;
}

void VirtualRunLoop::advance(Duration d) {
    TimePoint target;
    {
        std::lock_guard lock(mutex_);
        target = dueAfter(now_, d);
    }
    // Each job runs at its own due time; jobs that it schedules inside the window run too.
    while (runOneDue(target)) {
    }
    std::lock_guard lock(mutex_);
    if (now_ < target) now_ = target;
}

bool VirtualRunLoop::waitForPosted(std::chrono::milliseconds limit) {
    {
        std::unique_lock lock(mutex_);
        bool arrived = posted_.wait_for(lock, limit, [this] {
            return !queue_.empty() && queue_.front().due <= now_;
        });
        if (!arrived) return false;
    }
    runUntilIdle();
    return true;
}

bool VirtualRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        runUntilIdle();
        if (done()) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) return false;
        waitForPosted(left);
    }
}

std::size_t VirtualRunLoop::pendingJobs() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace tandril
