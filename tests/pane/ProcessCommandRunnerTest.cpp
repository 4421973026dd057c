#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "desktop/DesktopFixture.hpp"
#include "pane/GlimwickPanel.hpp"
#include "platform/linux/pane/ProcessCommandRunner.hpp"

namespace tandril::test {
namespace {

using std::chrono::milliseconds;

class ProcessCommandRunnerTest : public ::testing::Test {
protected:
    ProcessCommandRunnerTest() { DesktopFixture::ensureApplication(); }
    ProcessCommandRunner runner;
};

TEST_F(ProcessCommandRunnerTest, HandsBackTheStandardOutputReadToItsEnd) {
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "printf 'LMP Version: 0x6\\n'; echo noise >&2"}, milliseconds(5000)),
              std::string("LMP Version: 0x6\n"));
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "true"}, milliseconds(5000)), std::string());
    EXPECT_EQ(runner.run("/nonexistent/tool", {}, milliseconds(5000)), std::nullopt);
}

TEST_F(ProcessCommandRunnerTest, AHungToolIsStoppedAtTheLimitWithEverythingItStarted) {
    const auto started = std::chrono::steady_clock::now();
    // A pipeline whose tools outlive the shell unless the whole group is ended.
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "echo partial; sleep 30 | cat"}, milliseconds(300)), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(ProcessCommandRunnerTest, TheBluetoothCommandPrintsWhatTheParseReads) {
    // With no controller or no tool the command prints nothing (version 0); a controller
    // prints its version the way the parse expects it.
    const auto output = runner.run("/bin/sh", {"-c", GlimwickPanel::kBluetoothVersionCommand}, milliseconds(5000));
    ASSERT_TRUE(output.has_value());
    if (!output->empty()) {
        EXPECT_EQ(output->rfind("LMP Version: 0x", 0), 0u) << *output;
    }
    std::string fed = GlimwickPanel::kBluetoothVersionCommand;
    fed.replace(0, fed.find('|'), "printf 'hci0:\\tPrimary controller\\n\\taddr 00:1A:7D:DA:71:13 version 9 "
                                  "manufacturer 10 class 0x000000\\n' ");
    const auto parsed = runner.run("/bin/sh", {"-c", fed}, milliseconds(5000));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, "LMP Version: 0x9\n");
    EXPECT_EQ(GlimwickPanel::parseBluetoothVersion(*parsed), 9);
}

}  // namespace
}  // namespace tandril::test
