#include "foundation/TimerQueue.hpp"

namespace tandril {

TimerQueue::TimerId TimerQueue::add(TimePoint due, Job job) {
    const std::uint64_t seq = seq_++;
    const TimerId id = nextId_++;
    entries_.emplace(std::make_pair(due, seq), Entry{due, seq, id, std::move(job)});
    byId_.emplace(id, std::make_pair(due, seq));
    return id;
}

TimerQueue::Job TimerQueue::remove(TimerId id) {
    Job job;
    auto it = byId_.find(id);
    if (it == byId_.end()) return job;
    auto entry = entries_.find(it->second);
    if (entry != entries_.end()) {
        job = std::move(entry->second.job);
        entries_.erase(entry);
    }
    byId_.erase(it);
    return job;
}

TimerQueue::Entry TimerQueue::popFront() {
    auto first = entries_.begin();
    Entry entry = std::move(first->second);
    entries_.erase(first);
    byId_.erase(entry.id);
    return entry;
}

std::map<std::pair<TimePoint, std::uint64_t>, TimerQueue::Entry> TimerQueue::takeAll() {
    std::map<std::pair<TimePoint, std::uint64_t>, Entry> taken;
    taken.swap(entries_);
    byId_.clear();
    return taken;
}

}  // namespace tandril
