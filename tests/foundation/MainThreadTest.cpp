// The main-thread check of the objects that keep main-thread-only state without locks.

#include <gtest/gtest.h>

#include <thread>

#include "foundation/MainThread.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

class MainThreadTest : public LoopFixture {};

TEST_F(MainThreadTest, OnlyTheMainLoopsThreadIsTheMainThread) {
    EXPECT_TRUE(isMainThread());
    bool onOther = true;
    std::thread([&onOther] { onOther = isMainThread(); }).join();
    EXPECT_FALSE(onOther);
    TANDRIL_ASSERT_MAIN_THREAD();  // passes here
}

TEST_F(MainThreadTest, ACallFromAnotherThreadStopsADebugBuild) {
#ifdef NDEBUG
    GTEST_SKIP() << "release builds compile the check away";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(std::thread([] { TANDRIL_ASSERT_MAIN_THREAD(); }).join(), "");
#endif
}

}  // namespace
}  // namespace tandril::test
