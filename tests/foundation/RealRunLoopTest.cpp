#include "foundation/RealRunLoop.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tandril {
namespace {

TEST(RealRunLoopTest, RunsPostsInOrderUntilStopped) {
    RealRunLoop loop;
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) loop.post([&order, i] { order.push_back(i); });
        loop.post([&] { loop.stop(); });
    });
    loop.run();
    poster.join();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(RealRunLoopTest, StopFromAnotherThreadWhileIdle) {
    RealRunLoop loop;
    bool started = false;
    loop.post([&] { started = true; });
    std::thread stopper;
    loop.post([&] { stopper = std::thread([&] { loop.stop(); }); });
    auto far = loop.schedule(seconds(3600), [] { FAIL() << "never due"; });
    loop.run();
    stopper.join();
    EXPECT_TRUE(started);
    loop.cancel(far);
}

TEST(RealRunLoopTest, RunDueForAHostLoop) {
    RealRunLoop loop;
    int wakeUps = 0;
    loop.setWakeUpHook([&] { ++wakeUps; });
    EXPECT_LT(loop.runDue().count(), 0);  // nothing scheduled
    std::vector<std::string> order;
    loop.post([&] {
        order.push_back("a");
        loop.post([&] { order.push_back("next pass"); });
    });
    loop.schedule(seconds(3600), [&] { order.push_back("later"); });
    EXPECT_EQ(wakeUps, 2);
    Duration left = loop.runDue();
    EXPECT_EQ(order, (std::vector<std::string>{"a"}));
    EXPECT_EQ(left, Duration::zero());  // the job posted during the pass is due now
    left = loop.runDue();
    EXPECT_EQ(order.back(), "next pass");
    EXPECT_GT(left, seconds(3000));
}

}  // namespace
}  // namespace tandril
