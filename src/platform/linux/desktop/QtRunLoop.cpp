#include "platform/linux/desktop/QtRunLoop.hpp"

#include <QMetaObject>

#include <map>

namespace tandril {

QtRunLoop::QtRunLoop() : owner_(std::this_thread::get_id()), timer_(std::make_unique<QTimer>()) {
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { runDue(); });
}

QtRunLoop::~QtRunLoop() {
    // The timer goes first: no queued re-arm or time-out reaches a loop being torn down.
    timer_.reset();
    // Jobs are destroyed outside the lock: what they capture may call back into the loop.
    std::map<std::pair<TimePoint, std::uint64_t>, TimerQueue::Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = queue_.takeAll();
    }
    dropped.clear();
    discardPerforms();
}

void QtRunLoop::post(Job job) { schedule(Duration::zero(), std::move(job)); }

RunLoop::TimerId QtRunLoop::schedule(Duration delay, Job job) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = queue_.add(dueAfter(now(), delay), std::move(job));
    }
    requestArm();
    return id;
}

void QtRunLoop::cancel(TimerId id) {
    Job dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = queue_.remove(id);
    }
    forgetPerform(id);
    // An armed timer whose job went away fires, finds nothing due and re-arms: harmless.
}

TimePoint QtRunLoop::now() const {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

bool QtRunLoop::isLoopThread() const { return std::this_thread::get_id() == owner_; }

int QtRunLoop::timerIntervalFor(Duration left) {
    if (left <= Duration::zero()) return 0;
    constexpr auto kMax = std::chrono::milliseconds(kMaxTimerInterval);
    if (left >= kMax) return kMaxTimerInterval;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left);
    if (ms < left) ms += std::chrono::milliseconds(1);
    return static_cast<int>(ms.count());
}

std::size_t QtRunLoop::pendingJobs() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

int QtRunLoop::armedInterval() const {
    if (!timer_ || !timer_->isActive()) return -1;
    return timer_->interval();
}

void QtRunLoop::requestArm() {
    if (isLoopThread()) {
        arm();
        return;
    }
    // One queued re-arm at a time is enough: it reads the queue when it runs.
    if (armRequested_.exchange(true)) return;
    QMetaObject::invokeMethod(
        timer_.get(),
        [this] {
            armRequested_.store(false);
            arm();
        },
        Qt::QueuedConnection);
}

void QtRunLoop::arm() {
    if (!timer_) return;
    int interval = -1;
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) interval = timerIntervalFor(queue_.front().due - now());
    }
    if (interval < 0) {
        timer_->stop();
        return;
    }
    // Re-arming the same or a later deadline is skipped: the armed timer fires sooner.
    if (timer_->isActive() && timer_->remainingTime() >= 0 && timer_->remainingTime() <= interval) return;
    // Waits of a second or more may be coalesced a little; short ones keep their time.
    timer_->setTimerType(interval >= 1000 ? Qt::CoarseTimer : Qt::PreciseTimer);
    timer_->start(interval);
}

void QtRunLoop::runDue() {
    const TimePoint limit = now();
    std::uint64_t lastSeq;
    {
        std::lock_guard lock(mutex_);
        lastSeq = queue_.nextSeq();
    }
    for (;;) {
        TimerQueue::Entry entry;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) break;
            const TimerQueue::Entry& first = queue_.front();
            if (first.due > limit || first.seq >= lastSeq) break;
            entry = queue_.popFront();
        }
        entry.job();
        entry.job = nullptr;  // what it captured goes before the next job runs
    }
    arm();
}

}  // namespace tandril
