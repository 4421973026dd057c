#include "foundation/RunLoop.hpp"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "foundation/RealRunLoop.hpp"

namespace tandril {

// The owners and names of the pending performAfterDelay calls, by timer id. The table
// holds the strong reference to each owner; the scheduled job only holds the table.
struct RunLoop::PerformTable {
    struct Entry {
        std::shared_ptr<void> owner;
        std::string name;
    };
    mutable std::mutex mutex;
    std::map<TimerId, Entry> entries;
};

namespace {
std::atomic<RunLoop*> gMainLoop{nullptr};

RunLoop& defaultMainLoop() {
    static RealRunLoop loop;
    return loop;
}
}  // namespace

Duration seconds(double s) {
    if (!(s > 0)) return Duration::zero();  // negative or NaN
    const double nanoseconds = s * 1e9;
    // The largest double below 2^63 is exact; anything at or past 2^63 does not fit.
    if (nanoseconds >= 9223372036854775808.0) return Duration::max();
    return Duration(static_cast<Duration::rep>(nanoseconds));
}

TimePoint dueAfter(TimePoint from, Duration delay) {
    if (delay <= Duration::zero()) return from;
    if (from.time_since_epoch() > Duration::max() - delay) return TimePoint::max();
    return from + delay;
}

RunLoop::RunLoop() : performs_(std::make_shared<PerformTable>()), handle_(std::make_shared<Handle>(this)) {}

RunLoop::~RunLoop() { retireHandle(); }

void RunLoop::retireHandle() {
    std::lock_guard lock(handle_->mutex_);
    handle_->loop_ = nullptr;
}

bool RunLoop::Handle::post(Job job) {
    // The lock is held across the post, so the loop cannot be retired halfway through it.
    // A refused job is destroyed by the caller's frame, outside the lock.
    std::lock_guard lock(mutex_);
    if (!loop_) return false;
    loop_->post(std::move(job));
    return true;
}

bool RunLoop::Handle::isAlive() const {
    std::lock_guard lock(mutex_);
    return loop_ != nullptr;
}

RunLoop& RunLoop::main() {
    RunLoop* loop = gMainLoop.load();
    return loop ? *loop : defaultMainLoop();
}

void RunLoop::setMain(RunLoop* loop) { gMainLoop.store(loop); }

bool RunLoop::hasMain() { return gMainLoop.load() != nullptr; }

RunLoop::PerformTable& RunLoop::table() const { return *performs_; }

RunLoop::TimerId RunLoop::performAfterDelay(std::shared_ptr<void> owner, std::string name, Duration delay, Job job) {
    std::weak_ptr<PerformTable> weakTable = performs_;
    auto idCell = std::make_shared<std::atomic<TimerId>>(0);
    auto wrapper = [weakTable, idCell, job = std::move(job)]() {
        auto tablePtr = weakTable.lock();
        if (!tablePtr) return;
        std::shared_ptr<void> keepAlive;
        {
            std::lock_guard lock(tablePtr->mutex);
            auto it = tablePtr->entries.find(idCell->load());
            if (it == tablePtr->entries.end()) return;  // cancelled
            keepAlive = std::move(it->second.owner);
            tablePtr->entries.erase(it);
        }
        // The owner stays alive until the call has returned.
        job();
    };
    // The table lock is held across schedule() so that a loop on another thread cannot run
    // the job before its entry exists.
    std::lock_guard lock(table().mutex);
    TimerId id = schedule(delay, std::move(wrapper));
    idCell->store(id);
    table().entries.emplace(id, PerformTable::Entry{std::move(owner), std::move(name)});
    return id;
}

void RunLoop::cancelPerform(const void* owner, const std::string& name) { cancelPerformsMatching(owner, &name); }

void RunLoop::cancelPerforms(const void* owner) { cancelPerformsMatching(owner, nullptr); }

void RunLoop::cancelPerformsMatching(const void* owner, const std::string* name) {
    std::vector<TimerId> ids;
    std::vector<std::shared_ptr<void>> released;
    {
        std::lock_guard lock(table().mutex);
        for (auto it = table().entries.begin(); it != table().entries.end();) {
            if (it->second.owner.get() == owner && (!name || it->second.name == *name)) {
                ids.push_back(it->first);
                released.push_back(std::move(it->second.owner));
                it = table().entries.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (TimerId id : ids) cancel(id);
    // `released` goes last, outside the lock: an owner's destructor may call back in.
}

std::size_t RunLoop::pendingPerforms(const void* owner, const std::string* name) const {
    std::lock_guard lock(table().mutex);
    std::size_t count = 0;
    for (const auto& [id, entry] : table().entries) {
        if (entry.owner.get() == owner && (!name || entry.name == *name)) ++count;
    }
    return count;
}

void RunLoop::forgetPerform(TimerId id) {
    std::shared_ptr<void> released;
    std::lock_guard lock(table().mutex);
    auto it = table().entries.find(id);
    if (it == table().entries.end()) return;
    released = std::move(it->second.owner);
    table().entries.erase(it);
    // The lock is released before `released`, declared first, is destroyed.
}

void RunLoop::discardPerforms() {
    std::map<TimerId, PerformTable::Entry> entries;
    {
        std::lock_guard lock(table().mutex);
        entries.swap(table().entries);
    }
}

}  // namespace tandril
