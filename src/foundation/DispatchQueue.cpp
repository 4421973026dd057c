#include "foundation/DispatchQueue.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "foundation/RunLoop.hpp"

namespace tandril {

namespace {
// The queue whose job runs on this thread right now.
thread_local const DispatchQueue* tCurrentQueue = nullptr;

class CurrentQueueMarker {
public:
    explicit CurrentQueueMarker(const DispatchQueue* queue) : previous_(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueMarker() { tCurrentQueue = previous_; }
    CurrentQueueMarker(const CurrentQueueMarker&) = delete;
    CurrentQueueMarker& operator=(const CurrentQueueMarker&) = delete;

private:
    const DispatchQueue* previous_;
};

// A serial queue with its own thread.
//
// Destruction drains: the jobs already given still run, in order, and then the thread is
// joined. When the last reference goes away inside one of the queue's own jobs, the thread
// cannot join itself; it is detached and finishes the remaining jobs on its own.
class ThreadedQueue : public DispatchQueue {
public:
    explicit ThreadedQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
        state_->queue = this;
        thread_ = std::thread([state = state_] { work(state); });
    }

    ~ThreadedQueue() override {
        bool onOwnThread = thread_.get_id() == std::this_thread::get_id();
        {
            std::lock_guard lock(state_->mutex);
            state_->closing = true;
            // Draining jobs still run inside this destructor (the join below), so they may
            // use the queue; after a detach the object is gone and they run unmarked.
            if (onOwnThread) state_->queue = nullptr;
        }
        state_->wake.notify_all();
        if (onOwnThread) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    const std::string& label() const override { return label_; }

    void async(Job job) override {
        if (!job) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->jobs.push_back(std::move(job));
        }
        state_->wake.notify_one();
    }

    bool isCurrent() const override { return tCurrentQueue == this; }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Job> jobs;
        bool closing = false;
        const DispatchQueue* queue = nullptr;  // cleared when the queue object is gone
    };

    static void work(const std::shared_ptr<State>& state) {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->wake.wait(lock, [&] { return state->closing || !state->jobs.empty(); });
            if (state->jobs.empty()) return;  // closing and drained
            Job job = std::move(state->jobs.front());
            state->jobs.pop_front();
            const DispatchQueue* queue = state->queue;
            lock.unlock();
            {
                CurrentQueueMarker marker(queue);
                job();
                job = nullptr;
            }
            lock.lock();
        }
    }

    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// A serial queue whose jobs run as separate jobs of a run loop, in order. A pending job
// keeps the queue alive, as a queued block keeps its queue.
class LoopQueue : public DispatchQueue, public std::enable_shared_from_this<LoopQueue> {
public:
    LoopQueue(std::string label, RunLoop& loop) : label_(std::move(label)), loop_(loop) {}

    const std::string& label() const override { return label_; }

    void async(Job job) override {
        if (!job) return;
        loop_.post([self = shared_from_this(), job = std::move(job)] {
            CurrentQueueMarker marker(self.get());
            job();
        });
    }

    bool isCurrent() const override { return tCurrentQueue == this; }

private:
    std::string label_;
    RunLoop& loop_;
};

// The main queue: whatever loop is RunLoop::main() when a job is given.
class MainQueue : public DispatchQueue {
public:
    const std::string& label() const override { return label_; }

    void async(Job job) override {
        if (!job) return;
        RunLoop::main().post([this, job = std::move(job)] {
            CurrentQueueMarker marker(this);
            job();
        });
    }

    // Everything on the main loop's thread is on the main queue.
    bool isCurrent() const override { return tCurrentQueue == this || RunLoop::main().isLoopThread(); }

private:
    std::string label_ = "com.apple.main-thread";
};

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

DispatchQueue::Factory& installedFactory() {
    static DispatchQueue::Factory factory;
    return factory;
}
}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::createThreaded(std::string label) {
    return std::make_shared<ThreadedQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::createOnLoop(std::string label, RunLoop& loop) {
    return std::make_shared<LoopQueue>(std::move(label), loop);
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static const std::shared_ptr<DispatchQueue> queue = std::make_shared<MainQueue>();
    return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label) {
    Factory factory;
    {
        std::lock_guard lock(factoryMutex());
        factory = installedFactory();
    }
    if (factory) {
        if (auto queue = factory(label)) return queue;
    }
    return createThreaded(std::move(label));
}

void DispatchQueue::setFactory(Factory factory) {
    std::lock_guard lock(factoryMutex());
    installedFactory() = std::move(factory);
}

void dispatchToMain(std::function<void()> job) {
    if (job) RunLoop::main().post(std::move(job));
}

}  // namespace tandril
