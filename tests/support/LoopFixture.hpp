#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "foundation/VirtualRunLoop.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {

// The common fixture: a virtual-time main loop, serial queues that run on it, captured
// log lines, and every per-user folder redirected into a temporary folder.
class LoopFixture : public ::testing::Test {
protected:
    LoopFixture();
    ~LoopFixture() override;

    VirtualRunLoop& loop() { return *loop_; }
    void advance(double secondsToAdvance) { loop_->advanceSeconds(secondsToAdvance); }
    void runUntilIdle() { loop_->runUntilIdle(); }

    std::unique_ptr<VirtualRunLoop> loop_;
    TempDir home;
    LogCapture logs;
};

}  // namespace tandril::test
