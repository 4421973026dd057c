#include <gtest/gtest.h>

#include <QDBusConnectionInterface>
#include <QProcess>
#include <QProcessEnvironment>

#include "desktop/DesktopFixture.hpp"
#include "foundation/Paths.hpp"

namespace tandril {
namespace {

constexpr const char* kAgentName = "com.Varn.Glimwick";

// The agent program itself, run on the test's private bus with its folders in the test's.
class WinAgentProgramTest : public test::DesktopFixture {
protected:
    void start(QProcess& process, const QStringList& arguments = {}, bool display = true) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (!display) {
            for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
        }
        env.insert("XDG_STATE_HOME", QString::fromStdString(home.file("state")));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(home.file("config")));
        env.insert("XDG_DATA_HOME", QString::fromStdString(home.file("data")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(home.path()));
        process.setProcessEnvironment(env);
        process.start(TANDRIL_AGENT_EXECUTABLE, arguments);
        ASSERT_TRUE(process.waitForStarted(10000));
    }
    // Runs the program to its end; its standard output.
    std::string run(const QStringList& arguments, int* exitCode, std::string* errors = nullptr) {
        QProcess process;
        start(process, arguments);
        EXPECT_TRUE(process.waitForFinished(20000));
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        if (errors) *errors = process.readAllStandardError().toStdString();
        return process.readAllStandardOutput().toStdString();
    }
    bool nameTaken() { return bus().interface()->isServiceRegistered(kAgentName).value(); }
};

TEST_F(WinAgentProgramTest, HelpAndVersionAreTheOnlyOptions) {
    int code = -1;
    EXPECT_EQ(run({"--version"}, &code), std::string("Tandril ") + TANDRIL_PROJECT_VERSION + "\n");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(run({"--help"}, &code).rfind("usage: Tandril [--help | --version]\n", 0), 0u);
    EXPECT_EQ(code, 0);
    std::string errors;
    EXPECT_EQ(run({"--verbose"}, &code, &errors), "");
    EXPECT_EQ(code, 2);
    EXPECT_EQ(errors.rfind("usage: Tandril [--help | --version]\n", 0), 0u);
    EXPECT_EQ(run({"--help", "--version"}, &code), "");
    EXPECT_EQ(code, 2);
}

TEST_F(WinAgentProgramTest, ASecondAgentFindsTheNameTakenAndLeavesTheFirstAlone) {
    QProcess first;
    start(first);
    ASSERT_TRUE(waitUntil([this] { return nameTaken(); }, std::chrono::milliseconds(20000)));
    const auto owner = bus().interface()->serviceOwner(kAgentName).value();

    int code = -1;
    std::string errors;
    run({}, &code, &errors);
    EXPECT_EQ(code, 0);
    EXPECT_NE(errors.find("[Tandril] Another Tandril is already running (com.Varn.Glimwick is taken); this one exits.\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(bus().interface()->serviceOwner(kAgentName).value(), owner);

    // SIGTERM ends the first one cleanly, and its name goes with it.
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_TRUE(waitUntil([this] { return !nameTaken(); }));
}

TEST_F(WinAgentProgramTest, WithoutADisplayItRunsOnWithoutWindows) {
    QProcess agent;
    start(agent, {}, false);
    ASSERT_TRUE(waitUntil([this] { return nameTaken(); }, std::chrono::milliseconds(20000)));
    agent.terminate();
    ASSERT_TRUE(agent.waitForFinished(20000));
    EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.exitCode(), 0);
    const auto errors = agent.readAllStandardError().toStdString();
    EXPECT_NE(errors.find("[Tandril] No display: the device chooser cannot be shown.\n"), std::string::npos) << errors;
}

TEST_F(WinAgentProgramTest, AnAgentThatFindsTheNameTakenTouchesNoFiles) {
    ASSERT_TRUE(bus().interface()->registerService(kAgentName).isValid());
    int code = -1;
    run({}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(Paths::fileExists(home.file("state/Tandril")));
    EXPECT_FALSE(Paths::fileExists(home.file("config/Tandril")));
    EXPECT_FALSE(Paths::fileExists(home.file("data/Tandril")));
}

}  // namespace
}  // namespace tandril
