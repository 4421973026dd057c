#include "foundation/DispatchQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "foundation/VirtualRunLoop.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

TEST(DispatchQueueTest, ThreadedQueueRunsInOrderOnItsOwnThreadAndDrains) {
    std::vector<int> order;
    std::atomic<bool> sawCurrent{true};
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> otherThread{true};
    {
        auto queue = DispatchQueue::createThreaded("com.Varn.Tandril.LGCentralQueue");
        EXPECT_EQ(queue->label(), "com.Varn.Tandril.LGCentralQueue");
        EXPECT_FALSE(queue->isCurrent());
        for (int i = 0; i < 200; ++i) {
            queue->async([&, i, q = queue.get()] {
                order.push_back(i);
                if (!q->isCurrent()) sawCurrent = false;
                if (std::this_thread::get_id() == caller) otherThread = false;
            });
        }
    }  // destruction runs what was given, then joins
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_TRUE(sawCurrent);
    EXPECT_TRUE(otherThread);
}

TEST(DispatchQueueTest, ThreadedQueueMayBeReleasedByItsOwnJob) {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    bool done = false;
    auto queue = DispatchQueue::createThreaded("self-release");
    queue->async([held = queue, &m, &cv, &released, &done]() mutable {
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return released; });
        }
        held.reset();  // the last reference: the queue is destroyed on its own thread
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    queue.reset();
    std::unique_lock lock(m);
    released = true;
    cv.notify_all();
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
}

class LoopQueueTest : public test::LoopFixture {};

TEST_F(LoopQueueTest, EachJobIsASeparateLoopJobInOrder) {
    auto queue = DispatchQueue::create("ble");
    std::vector<std::string> order;
    queue->async([&] {
        order.push_back("q1");
        EXPECT_TRUE(queue->isCurrent());
        dispatchToMain([&] { order.push_back("main-from-q1"); });
    });
    dispatchToMain([&] { order.push_back("main"); EXPECT_FALSE(queue->isCurrent()); });
    queue->async([&] { order.push_back("q2"); });
    EXPECT_TRUE(order.empty());  // nothing runs until the loop is driven
    runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"q1", "main", "q2", "main-from-q1"}));
    EXPECT_FALSE(queue->isCurrent());
}

TEST_F(LoopQueueTest, MainQueueFollowsTheMainLoop) {
    auto main = DispatchQueue::main();
    bool ran = false;
    main->async([&] { ran = main->isCurrent(); });
    runUntilIdle();
    EXPECT_TRUE(ran);
    EXPECT_EQ(loop().pendingJobs(), 0u);
}

TEST_F(LoopQueueTest, FactoryCanBeReplacedAndRestored) {
    int made = 0;
    DispatchQueue::setFactory([&](std::string label) {
        ++made;
        return DispatchQueue::createOnLoop(std::move(label), loop());
    });
    auto q = DispatchQueue::create("x");
    EXPECT_EQ(made, 1);
    EXPECT_EQ(q->label(), "x");
}

}  // namespace
}  // namespace tandril
