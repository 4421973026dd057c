#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "foundation/RunLoop.hpp"

namespace tandril {

// The jobs of a run loop, ordered by due time and then by the order they were added.
// Not locked: the loop that owns it holds its own lock around every call. Jobs taken out
// are handed back to the caller, so that they are run or destroyed outside that lock.
class TimerQueue {
public:
    using Job = RunLoop::Job;
    using TimerId = RunLoop::TimerId;

    struct Entry {
        TimePoint due{};
        std::uint64_t seq = 0;
        TimerId id = 0;
        Job job;
    };

    TimerId add(TimePoint due, Job job);
    // Takes out the job with `id`; an empty job when it already ran or was cancelled.
    Job remove(TimerId id);

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    // The earliest entry; the queue must not be empty.
    const Entry& front() const { return entries_.begin()->second; }
    Entry popFront();
    // The sequence number the next job will get: jobs added later compare at or above it.
    std::uint64_t nextSeq() const { return seq_; }
    // Empties the queue, handing every job to the caller.
    std::map<std::pair<TimePoint, std::uint64_t>, Entry> takeAll();

private:
    std::uint64_t seq_ = 0;
    TimerId nextId_ = 1;
    std::map<std::pair<TimePoint, std::uint64_t>, Entry> entries_;
    std::map<TimerId, std::pair<TimePoint, std::uint64_t>> byId_;
};

}  // namespace tandril
