#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tandril {

class RunLoop;

// A serial queue: jobs run one at a time, in the order given.
class DispatchQueue {
public:
    using Job = std::function<void()>;
    virtual ~DispatchQueue() = default;

    virtual const std::string& label() const = 0;
    virtual void async(Job job) = 0;
    // True while a job of this queue is running on the calling thread.
    virtual bool isCurrent() const = 0;

    // A queue with its own thread (the real BLE event queue).
    static std::shared_ptr<DispatchQueue> createThreaded(std::string label);
    // A queue whose jobs run as separate jobs of `loop`, in order: deterministic, for
    // virtual-time tests and single-threaded programs.
    static std::shared_ptr<DispatchQueue> createOnLoop(std::string label, RunLoop& loop);
    // The queue of the main loop (jobs posted to RunLoop::main()).
    static std::shared_ptr<DispatchQueue> main();

    // A new serial queue made by the installed factory: threaded by default; tests install
    // one that makes loop queues so that everything runs in virtual time.
    using Factory = std::function<std::shared_ptr<DispatchQueue>(std::string label)>;
    static std::shared_ptr<DispatchQueue> create(std::string label);
    static void setFactory(Factory factory);  // an empty factory restores the default
};

// Runs `job` on the main loop, after everything already posted there.
void dispatchToMain(std::function<void()> job);

}  // namespace tandril
