#include "platform/linux/desktop/QtRunLoop.hpp"

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <string>
#include <thread>
#include <vector>

#include "desktop/DesktopFixture.hpp"

namespace tandril {
namespace {

// The run-loop contract (as the virtual and the plain loop keep it) on Qt's event loop, in
// real time with delays of a few milliseconds: nothing sleeps, the tests run Qt's events until
// what they wait for has happened.
class QtRunLoopTest : public ::testing::Test {
protected:
    QtRunLoopTest() { test::DesktopFixture::ensureApplication(); }

    static bool spinUntil(const std::function<bool()>& done, int limitMs = 10000) {
        QElapsedTimer clock;
        clock.start();
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(limitMs);
        while (!done()) {
            if (clock.elapsed() >= limitMs) return false;
            QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

    struct Target {
        int calls = 0;
    };
};

TEST_F(QtRunLoopTest, RunsInDueOrderThenPostOrderAndSkipsCancelledJobs) {
    QtRunLoop loop;
    EXPECT_TRUE(loop.isLoopThread());
    std::vector<std::string> ran;
    loop.schedule(std::chrono::milliseconds(30), [&] { ran.push_back("30ms"); });
    loop.post([&] { ran.push_back("post 1"); });
    const auto cancelled = loop.schedule(std::chrono::milliseconds(5), [&] { ran.push_back("cancelled"); });
    loop.schedule(std::chrono::milliseconds(10), [&] { ran.push_back("10ms"); });
    loop.post([&] { ran.push_back("post 2"); });
    loop.cancel(cancelled);
    ASSERT_TRUE(spinUntil([&] { return ran.size() == 4; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"post 1", "post 2", "10ms", "30ms"}));
    EXPECT_EQ(loop.pendingJobs(), 0u);
    EXPECT_EQ(loop.armedInterval(), -1);  // idle: no timer left armed
}

TEST_F(QtRunLoopTest, PerformsAreCancelledByOwnerAndNameAndKeepTheirOwnerAlive) {
    QtRunLoop loop;
    auto owner = std::make_shared<Target>();
    auto other = std::make_shared<Target>();
    Target* raw = owner.get();
    std::weak_ptr<Target> watch = owner;
    for (int i = 0; i < 3; ++i) loop.performAfterDelay(owner, "scan", std::chrono::milliseconds(5), [raw] { ++raw->calls; });
    bool aliveDuringCall = false;
    loop.performAfterDelay(owner, "notice", std::chrono::milliseconds(20), [&] { aliveDuringCall = !watch.expired(); });
    loop.performAfterDelay(other, "scan", std::chrono::milliseconds(5), [&other] { ++other->calls; });
    const std::string scan = "scan";
    loop.cancelPerform(raw, "scan");
    EXPECT_EQ(loop.pendingPerforms(raw, &scan), 0u);
    EXPECT_EQ(loop.pendingPerforms(raw), 1u);
    owner.reset();
    EXPECT_FALSE(watch.expired());  // the pending "notice" holds it
    ASSERT_TRUE(spinUntil([&] { return watch.expired(); }));
    EXPECT_TRUE(aliveDuringCall);
    EXPECT_EQ(other->calls, 1);
    EXPECT_EQ(loop.pendingJobs(), 0u);
}

TEST_F(QtRunLoopTest, OwnerDestructorMayCallBackIntoTheLoop) {
    struct SelfCancelling {
        QtRunLoop* loop;
        ~SelfCancelling() { loop->cancelPerforms(this); }
    };
    QtRunLoop loop;
    auto owner = std::make_shared<SelfCancelling>(SelfCancelling{&loop});
    loop.performAfterDelay(owner, "a", seconds(1), [] {});
    SelfCancelling* raw = owner.get();
    owner.reset();
    loop.cancelPerform(raw, "a");  // the owner dies here, calling back in
    EXPECT_EQ(loop.pendingJobs(), 0u);
    // And when the loop itself goes away with a perform pending.
    auto scratch = std::make_unique<QtRunLoop>();
    scratch->performAfterDelay(std::make_shared<SelfCancelling>(SelfCancelling{scratch.get()}), "x", seconds(1), [] {});
    scratch.reset();
}

TEST_F(QtRunLoopTest, PostsFromOtherThreadsWakeTheIdleLoopInOrder) {
    QtRunLoop loop;
    std::vector<int> got;
    std::thread worker([&] {
        EXPECT_FALSE(loop.isLoopThread());
        for (int i = 0; i < 100; ++i) loop.post([&got, i] { got.push_back(i); });
        loop.schedule(std::chrono::milliseconds(5), [&got] { got.push_back(1000); });
    });
    ASSERT_TRUE(spinUntil([&] { return got.size() == 101; }));
    worker.join();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(got.back(), 1000);
}

TEST_F(QtRunLoopTest, WorkPostedByAJobWaitsForQtsOwnEvents) {
    QtRunLoop loop;
    int passes = 0;
    std::function<void()> busy = [&] {
        ++passes;
        loop.post(busy);
    };
    loop.post(busy);
    bool qtEventSeen = false;
    QTimer::singleShot(0, [&] { qtEventSeen = true; });
    ASSERT_TRUE(spinUntil([&] { return qtEventSeen; }));
    EXPECT_LT(passes, 1000);  // a job that keeps posting does not starve the event loop
}

TEST_F(QtRunLoopTest, HugeDelaysAreClampedToTheTimersRangeAndReArmed) {
    EXPECT_EQ(QtRunLoop::timerIntervalFor(Duration(-5)), 0);
    EXPECT_EQ(QtRunLoop::timerIntervalFor(Duration::zero()), 0);
    EXPECT_EQ(QtRunLoop::timerIntervalFor(std::chrono::microseconds(1500)), 2);  // never early
    EXPECT_EQ(QtRunLoop::timerIntervalFor(std::chrono::milliseconds(3000)), 3000);
    EXPECT_EQ(QtRunLoop::timerIntervalFor(std::chrono::hours(24 * 30)), QtRunLoop::kMaxTimerInterval);
    EXPECT_EQ(QtRunLoop::timerIntervalFor(Duration::max()), QtRunLoop::kMaxTimerInterval);

    QtRunLoop loop;
    std::vector<std::string> ran;
    const auto never = loop.schedule(Duration::max(), [&] { ran.push_back("never"); });
    loop.schedule(std::chrono::hours(24 * 30), [&] { ran.push_back("in a month"); });
    EXPECT_EQ(loop.armedInterval(), QtRunLoop::kMaxTimerInterval);
    loop.schedule(std::chrono::milliseconds(5), [&] { ran.push_back("soon"); });
    EXPECT_LE(loop.armedInterval(), 5);
    ASSERT_TRUE(spinUntil([&] { return !ran.empty(); }));
    EXPECT_EQ(ran, (std::vector<std::string>{"soon"}));
    // The far jobs still wait, with the timer re-armed at its longest.
    EXPECT_EQ(loop.pendingJobs(), 2u);
    EXPECT_EQ(loop.armedInterval(), QtRunLoop::kMaxTimerInterval);
    loop.cancel(never);
}

}  // namespace
}  // namespace tandril
