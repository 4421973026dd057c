#include "foundation/VirtualRunLoop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace tandril {
namespace {

struct Target {
    int calls = 0;
};

TEST(VirtualRunLoopTest, RunsInDueOrderThenPostOrder) {
    VirtualRunLoop loop;
    std::vector<std::string> order;
    loop.schedule(seconds(2), [&] { order.push_back("2s"); });
    loop.schedule(seconds(1), [&] { order.push_back("1s-a"); });
    loop.post([&] { order.push_back("post-a"); });
    loop.schedule(seconds(1), [&] { order.push_back("1s-b"); });
    loop.post([&] { order.push_back("post-b"); });

    EXPECT_EQ(loop.runUntilIdle(), 2u);
    EXPECT_EQ(order, (std::vector<std::string>{"post-a", "post-b"}));
    loop.advanceSeconds(1.5);
    EXPECT_EQ(order, (std::vector<std::string>{"post-a", "post-b", "1s-a", "1s-b"}));
    loop.advanceSeconds(0.5);
    EXPECT_EQ(order.back(), "2s");
    EXPECT_EQ(loop.pendingJobs(), 0u);
}

TEST(VirtualRunLoopTest, JobsScheduledDuringAdvanceRunAtTheirOwnTime) {
    VirtualRunLoop loop;
    std::vector<std::pair<std::string, double>> seen;
    auto stamp = [&](const char* what) {
        seen.emplace_back(what, std::chrono::duration<double>(loop.now().time_since_epoch()).count());
    };
    loop.schedule(seconds(1), [&] {
        stamp("first");
        loop.schedule(seconds(2), [&] { stamp("chained"); });   // due at 3s: inside the window
        loop.schedule(seconds(20), [&] { stamp("late"); });    // due at 21s: outside
        loop.post([&] { stamp("posted"); });                    // runs at 1s, before "second"
    });
    loop.schedule(seconds(4), [&] { stamp("second"); });
    loop.advanceSeconds(10);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("first"), 1.0));
    EXPECT_EQ(seen[1], std::make_pair(std::string("posted"), 1.0));
    EXPECT_EQ(seen[2], std::make_pair(std::string("chained"), 3.0));
    EXPECT_EQ(seen[3], std::make_pair(std::string("second"), 4.0));
    EXPECT_EQ(loop.now().time_since_epoch(), seconds(10));
    EXPECT_EQ(loop.pendingJobs(), 1u);
}

TEST(VirtualRunLoopTest, CancelledJobsNeverRun) {
    VirtualRunLoop loop;
    int runs = 0;
    auto id = loop.schedule(seconds(1), [&] { ++runs; });
    loop.cancel(id);
    loop.cancel(id);      // twice is harmless
    loop.cancel(999999);  // unknown too
    // A job cancelling a later one during the same advance.
    RunLoop::TimerId later = loop.schedule(seconds(3), [&] { runs += 100; });
    loop.schedule(seconds(2), [&] { loop.cancel(later); });
    loop.advanceSeconds(5);
    EXPECT_EQ(runs, 0);
}

TEST(VirtualRunLoopTest, HugeDelaysWaitInsteadOfOverflowing) {
    EXPECT_EQ(seconds(1e300), Duration::max());
    EXPECT_EQ(seconds(-5), Duration::zero());
    EXPECT_EQ(seconds(std::nan("")), Duration::zero());
    EXPECT_EQ(seconds(2.5), std::chrono::milliseconds(2500));

    VirtualRunLoop loop;
    std::vector<std::string> ran;
    loop.schedule(Duration::max(), [&] { ran.push_back("max"); });
    loop.schedule(seconds(1e9), [&] { ran.push_back("far"); });  // about 32 years
    loop.advanceSeconds(3600);
    loop.schedule(Duration::max(), [&] { ran.push_back("max later"); });
    loop.advance(Duration::max());  // the clock stops at its end, running what falls due on the way
    EXPECT_EQ(ran, (std::vector<std::string>{"far", "max", "max later"}));
}

TEST(VirtualRunLoopTest, PerformKeepsItsOwnerAliveUntilItRuns) {
    VirtualRunLoop loop;
    auto owner = std::make_shared<Target>();
    std::weak_ptr<Target> watch = owner;
    Target* raw = owner.get();
    bool aliveDuringCall = false;
    loop.performAfterDelay(owner, "poll", seconds(30), [&] { aliveDuringCall = !watch.expired(); });
    owner.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(loop.pendingPerforms(raw), 1u);
    loop.advanceSeconds(29);
    EXPECT_FALSE(watch.expired());
    loop.advanceSeconds(1);
    EXPECT_TRUE(aliveDuringCall);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(loop.pendingPerforms(raw), 0u);
}

TEST(VirtualRunLoopTest, CancelPerformRemovesEveryMatchAndReleasesTheOwner) {
    VirtualRunLoop loop;
    auto owner = std::make_shared<Target>();
    auto other = std::make_shared<Target>();
    std::weak_ptr<Target> watch = owner;
    for (int i = 0; i < 3; ++i) loop.performAfterDelay(owner, "scan", seconds(60), [&owner] { ++owner->calls; });
    loop.performAfterDelay(owner, "notice", seconds(3), [] {});
    loop.performAfterDelay(other, "scan", seconds(60), [&other] { ++other->calls; });
    const std::string scan = "scan";
    EXPECT_EQ(loop.pendingPerforms(owner.get(), &scan), 3u);

    Target* raw = owner.get();
    loop.cancelPerform(raw, "scan");
    EXPECT_EQ(loop.pendingPerforms(raw, &scan), 0u);
    EXPECT_EQ(loop.pendingPerforms(raw), 1u);  // another name stays
    EXPECT_EQ(loop.pendingPerforms(other.get(), &scan), 1u);  // another owner stays

    loop.cancelPerforms(raw);
    owner.reset();
    EXPECT_TRUE(watch.expired());
    loop.advanceSeconds(100);
    EXPECT_EQ(other->calls, 1);
    EXPECT_EQ(loop.pendingJobs(), 0u);
}

TEST(VirtualRunLoopTest, PerformThatCancelsItselfOrReschedules) {
    VirtualRunLoop loop;
    auto owner = std::make_shared<Target>();
    Target* raw = owner.get();
    // A poll that reschedules itself and, on its third run, cancels all of its calls.
    std::function<void()> poll = [&] {
        ++raw->calls;
        loop.performAfterDelay(owner, "poll", seconds(30), poll);
        loop.performAfterDelay(owner, "poll", seconds(30), poll);  // a duplicate, cancelled below
        if (raw->calls == 3) loop.cancelPerform(raw, "poll");
        else loop.cancelPerform(raw, "never-scheduled");
    };
    loop.performAfterDelay(owner, "poll", seconds(30), poll);
    loop.advanceSeconds(200);
    // Without the cancel the calls would double every 30 s; the third run clears them all.
    EXPECT_EQ(raw->calls, 3);
    EXPECT_EQ(loop.pendingPerforms(raw), 0u);
    EXPECT_EQ(loop.pendingJobs(), 0u);
}

TEST(VirtualRunLoopTest, OwnerDestructorMayCallBackIntoTheLoop) {
    struct SelfCancelling {
        VirtualRunLoop* loop;
        ~SelfCancelling() { loop->cancelPerforms(this); }
    };
    VirtualRunLoop loop;
    {
        auto owner = std::make_shared<SelfCancelling>(SelfCancelling{&loop});
        loop.performAfterDelay(owner, "a", seconds(1), [] {});
        loop.performAfterDelay(owner, "b", seconds(2), [] {});
        SelfCancelling* raw = owner.get();
        owner.reset();
        loop.cancelPerform(raw, "a");
        loop.cancelPerform(raw, "b");  // the owner dies here, calling back in
    }
    EXPECT_EQ(loop.pendingJobs(), 0u);
    // And when the loop itself goes away with a perform pending.
    auto scratch = std::make_unique<VirtualRunLoop>();
    scratch->performAfterDelay(std::make_shared<SelfCancelling>(SelfCancelling{scratch.get()}), "x", seconds(1), [] {});
    scratch.reset();
}

TEST(VirtualRunLoopTest, CrossThreadPostsWakeTheWaiter) {
    VirtualRunLoop loop;
    EXPECT_TRUE(loop.isLoopThread());
    std::vector<int> got;
    std::thread worker([&] {
        EXPECT_FALSE(loop.isLoopThread());
        for (int i = 0; i < 50; ++i) loop.post([&got, i] { got.push_back(i); });
    });
    EXPECT_TRUE(loop.runUntil([&] { return got.size() == 50; }, std::chrono::seconds(10)));
    worker.join();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], i);

    // Nothing arrives: the wait gives up (after a short real-time limit) and says so.
    EXPECT_FALSE(loop.waitForPosted(std::chrono::milliseconds(1)));

    std::thread late([&] { loop.post([&got] { got.push_back(99); }); });
    EXPECT_TRUE(loop.waitForPosted(std::chrono::seconds(10)));
    late.join();
    EXPECT_EQ(got.back(), 99);
}

TEST(VirtualRunLoopTest, HandlePostsWhileTheLoopLivesAndRefusesAfterwards) {
    std::shared_ptr<RunLoop::Handle> handle;
    auto captured = std::make_shared<int>(0);
    {
        VirtualRunLoop loop;
        handle = loop.handle();
        int ran = 0;
        EXPECT_TRUE(handle->post([&ran] { ++ran; }));
        loop.runUntilIdle();
        EXPECT_EQ(ran, 1);
        EXPECT_TRUE(handle->isAlive());
    }
    EXPECT_FALSE(handle->isAlive());
    // Refused, and the job (with what it holds) is let go at once.
    EXPECT_FALSE(handle->post([captured] { ++*captured; }));
    EXPECT_EQ(captured.use_count(), 1);
    // A loop built afterwards, wherever it lives, has a handle of its own.
    VirtualRunLoop next;
    EXPECT_NE(next.handle(), handle);
    EXPECT_TRUE(next.handle()->isAlive());
}

}  // namespace
}  // namespace tandril
