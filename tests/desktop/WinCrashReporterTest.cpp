#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "foundation/Paths.hpp"
#include "platform/linux/desktop/WinCrashReporter.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

extern char** environ;

namespace tandril {
namespace {

constexpr const char* kChildDirectory = "TANDRIL_CRASH_CHILD_DIR";

std::vector<std::string> reports(const std::string& directory) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (entry.path().extension() == ".crash") found.push_back(entry.path().string());
    }
    return found;
}

// Runs in a child process started by the test below (disabled otherwise): installs the
// reporter and crashes.
TEST(WinCrashReporterTest, DISABLED_CrashingChild) {
    const char* directory = std::getenv(kChildDirectory);
    if (!directory) GTEST_SKIP() << "only runs as the crashing child";
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    WinCrashReporter reporter("9.9.9", directory);
    reporter.startWithAPIKey("key");
    std::raise(SIGSEGV);
    FAIL() << "still alive after SIGSEGV";
}

TEST(WinCrashReporterTest, AChildThatRaisesSIGSEGVWritesAReportAndStillDiesOfIt) {
    test::TempDir dir;
    const auto crashes = dir.file("state/Tandril/crashes");
    const std::string variable = std::string(kChildDirectory) + "=" + crashes;
    std::vector<char*> env;
    for (char** each = environ; *each; ++each) env.push_back(*each);
    env.push_back(const_cast<char*>(variable.c_str()));
    env.push_back(nullptr);
    std::string filter = "--gtest_filter=WinCrashReporterTest.DISABLED_CrashingChild";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char program[] = "/proc/self/exe";
    char* argv[] = {program, filter.data(), disabled.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program, nullptr, nullptr, argv, env.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    const auto found = reports(crashes);
    ASSERT_EQ(found.size(), 1u);
    const auto text = Paths::readFile(found[0]).value_or("");
    EXPECT_EQ(text.rfind("Tandril crash report\nversion: 9.9.9\npid: " + std::to_string(pid) + "\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nsignal: 11 (SIGSEGV)\ncode: -6\n"), std::string::npos) << text;  // SI_TKILL: raise()
    const auto backtrace = text.find("\nbacktrace:\n");
    ASSERT_NE(backtrace, std::string::npos) << text;
    EXPECT_GT(text.size(), backtrace + 20) << "no frames: " << text;

    // The next start mentions the report once, by its path.
    test::LogCapture logs;
    WinCrashReporter next("9.9.9", crashes);
    EXPECT_EQ(next.announcePreviousReports(), found[0]);
    EXPECT_EQ(logs.lines(),
              std::vector<std::string>{"[CrashReporter] An earlier run crashed; its report is at " + found[0]});
    EXPECT_EQ(next.announcePreviousReports(), std::nullopt);
    EXPECT_EQ(logs.lines().size(), 1u);
}

TEST(WinCrashReporterTest, DefaultFolderFollowsXDGStateHome) {
    const char* saved = std::getenv("XDG_STATE_HOME");
    const std::string keep = saved ? saved : "";
    ::setenv("XDG_STATE_HOME", "/tmp/state", 1);
    EXPECT_EQ(WinCrashReporter::defaultDirectory(), "/tmp/state/Tandril/crashes");
    // A relative value is ignored, as the base-directory rules say.
    ::setenv("XDG_STATE_HOME", "relative", 1);
    EXPECT_EQ(WinCrashReporter::defaultDirectory(), Paths::join(Paths::homeDirectory(), ".local/state/Tandril/crashes"));
    if (saved) ::setenv("XDG_STATE_HOME", keep.c_str(), 1);
    else ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace tandril
