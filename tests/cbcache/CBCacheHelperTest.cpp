// The Bluetooth-cache helper against a temporary BlueZ storage, with polkit answered by
// python3-dbusmock's polkitd on a private system bus: the whole exchange with the agent's
// client, each bad request, a caller without the right, and the program as systemd starts it.

#include "platform/linux/cbcache/CBCacheHelper.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "cbcache/BlueZTree.hpp"
#include "cbcache/PolkitMock.hpp"
#include "engine/CNCacheHelperClient.hpp"
#include "platform/linux/CNPolkitCacheConsent.hpp"
#include "platform/linux/PolkitCheck.hpp"
#include "support/LogCapture.hpp"

namespace tandril::test {
namespace {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr const char* kAction = "com.Varn.cbcache.clear";

Lines splitLines(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

// Everything the peer sends until it closes (bounded, so that a fault fails the test
// instead of hanging it).
std::string readUntilClosed(int fd) {
    std::string text;
    char buffer[4096];
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < limit) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 1000) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text + "<still open>";
}

std::string ourSubject() {
    // pkcheck's "pid,start-time,uid", as the helper must name this process to polkit.
    const std::string subject = PolkitCheck::processSubject();
    const auto first = subject.find(',');
    const auto second = subject.find(',', first + 1);
    return "pid=" + subject.substr(0, first) + " start-time=" + subject.substr(first + 1, second - first - 1) +
           " uid=" + subject.substr(second + 1) + " unix-process " + kAction;
}

std::string clearedLine(const char* device) {
    return std::string("Cleared the cached attributes of ") + device + " (adapter " + BlueZTree::kAdapter + ").";
}

Lines successReport() {
    return {"Authorized: process " + std::to_string(::getpid()) + " of user " + std::to_string(::getuid()) +
                " may clear the Bluetooth cache.",
            "Stopping bluetooth.service.",
            clearedLine(BlueZTree::kPhone),
            clearedLine(BlueZTree::kWatch),
            "Cleared the cached attributes of 2 devices.",
            "Starting bluetooth.service.",
            "Done."};
}

class CBCacheHelperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        bus_ = new PrivateBus;
        if (bus_->isRunning()) polkit_ = new PolkitMock;
    }
    static void TearDownTestSuite() {
        delete polkit_;
        delete bus_;
        polkit_ = nullptr;
        bus_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(bus_->isRunning()) << bus_->error();
        ASSERT_TRUE(polkit_ && polkit_->isReady()) << (polkit_ ? polkit_->error() : "");
        ASSERT_TRUE(polkit_->setAllowed({kAction}));
        polkit_->clearChecks();
    }

    CBCacheHelper::Options options() {
        CBCacheHelper::Options o;
        o.storageRoot = tree.root();
        o.requestDeadline = 500ms;
        // Stands in for systemctl; notes whether the cache was still whole when BlueZ stopped.
        o.serviceControl = [this](const std::string& verb) {
            services.push_back(verb + (verb == "stop" && tree.untouched() ? " (cache whole)" : ""));
            return serviceErrors[verb];
        };
        return o;
    }

    // Runs the helper on one end of a socket pair; `talk` speaks on the other; returns the
    // helper's answer up to its close.
    template <class Talk>
    std::string exchange(Talk talk) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        CBCacheHelper helper(options());
        std::thread server([&helper, fd = fds[0]] { helper.handle(fd); });
        talk(fds[1]);
        const std::string answer = readUntilClosed(fds[1]);
        server.join();
        ::close(fds[1]);
        return answer;
    }
    std::string send(const Bytes& request, bool thenClose = true) {
        return exchange([&](int fd) {
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            if (thenClose) ::shutdown(fd, SHUT_WR);
        });
    }
    static Bytes request(Bytes token, std::uint8_t command = 0x73) {
        token.push_back(command);
        return token;
    }

    static PrivateBus* bus_;
    static PolkitMock* polkit_;
    BlueZTree tree;
    Lines services;
    std::map<std::string, std::string> serviceErrors;
};

PrivateBus* CBCacheHelperTest::bus_ = nullptr;
PolkitMock* CBCacheHelperTest::polkit_ = nullptr;

TEST_F(CBCacheHelperTest, WholeExchangeWithTheAgentsClientClearsTheCacheAndKeepsTheKeys) {
    TempDir dir;
    // The agent's consent with a pkcheck that says yes; the helper asks the real question.
    const std::string pkcheck = dir.file("pkcheck");
    std::ofstream(pkcheck) << "#!/bin/sh\nexit 0\n";
    ::chmod(pkcheck.c_str(), 0755);
    std::string error;
    const int listening = CBCacheHelper::listenOn(dir.file("cbcache.socket"), error);
    ASSERT_GE(listening, 0) << error;
    CBCacheHelper helper(options());
    std::thread server([&] { helper.handle(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC)); });

    LogCapture logs;
    CNCacheHelperClient::setSocketPath(dir.file("cbcache.socket"));
    CNCacheHelperClient(std::make_shared<CNPolkitCacheConsent>(PolkitCheck(pkcheck))).clearCache();
    CNCacheHelperClient::setSocketPath("");
    server.join();
    ::close(listening);

    // The client logs the reply chunk by chunk, as the stream delivers it.
    const auto lines = logs.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "auth success");
    std::string reply;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].rfind("log content: ", 0), 0u) << lines[i];
        reply += lines[i].substr(std::string("log content: ").size());
    }
    EXPECT_EQ(splitLines(reply), successReport());
    EXPECT_EQ(polkit_->checks(), Lines{ourSubject()});
    EXPECT_EQ(services, (Lines{"stop (cache whole)", "start"}));
    EXPECT_EQ(BlueZTree::read(tree.adapterPath(std::string("cache/") + BlueZTree::kPhone)), BlueZTree::kPhoneCacheCleared);
    EXPECT_TRUE(tree.keysAndNamesIntact());
}

TEST_F(CBCacheHelperTest, EachBadRequestGetsAClearAnswerAndNothingIsTouched) {
    const Bytes token = CNPolkitCacheConsent::makeToken();
    Bytes otherPid = token;
    otherPid[7] ^= 0x01;
    Bytes otherUid = token;
    otherUid[15] ^= 0x01;
    Bytes unmarked = token;
    unmarked[0] = 'X';
    const std::string late = "No complete request in time (";
    struct Case {
        const char* name;
        std::function<std::string()> run;
        std::string answer;
    };
    const std::vector<Case> cases{
        {"short token", [&] { return send(Bytes(token.begin(), token.begin() + 20)); },
         "Short request (20 of 33 bytes): refused."},
        {"nothing at all", [&] { return send({}); }, "Short request (0 of 33 bytes): refused."},
        {"silent client", [&] { return send({}, false); }, late + "0 of 33 bytes): refused."},
        {"slow client", [&] { return send(Bytes(token.begin(), token.begin() + 32), false); },
         late + "32 of 33 bytes): refused."},
        {"wrong command", [&] { return send(request(token, 'x')); }, "Unknown command 0x78: refused."},
        {"more than the request",
         [&] {
             Bytes longer = request(token);
             longer.push_back(0x73);
             return send(longer);
         },
         "Request longer than 33 bytes: refused."},
        {"flood",
         [&] {
             return exchange([](int fd) {
                 // As much as the socket takes, without blocking.
                 const Bytes chunk(65536, 0x73);
                 while (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
                 }
             });
         },
         "Request longer than 33 bytes: refused."},
        {"token of another process", [&] { return send(request(otherPid)); },
         "The consent token does not name the calling process: refused."},
        {"token of another user", [&] { return send(request(otherUid)); },
         "The consent token does not name the calling process: refused."},
        {"no token", [&] { return send(request(unmarked)); },
         "The consent token does not name the calling process: refused."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.run(), c.answer + "\n");
        EXPECT_TRUE(tree.untouched());
        EXPECT_TRUE(services.empty());
    }
    // None of these got as far as polkit: the request alone never earns a check.
    EXPECT_TRUE(polkit_->checks().empty());
}

TEST_F(CBCacheHelperTest, CallerWithoutTheRightOrWithoutPolkitIsRefused) {
    ASSERT_TRUE(polkit_->setAllowed({}));
    EXPECT_EQ(send(request(CNPolkitCacheConsent::makeToken())),
              "Not authorized to clear the Bluetooth cache (com.Varn.cbcache.clear).\n");
    EXPECT_EQ(polkit_->checks(), Lines{ourSubject()});

    // No polkit to ask: refused all the same.
    const std::string saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + tree.outside("no-bus")).c_str(), 1);
    const auto answer = send(request(CNPolkitCacheConsent::makeToken()));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    EXPECT_EQ(answer.rfind("Could not ask polkit: ", 0), 0u) << answer;

    EXPECT_TRUE(tree.untouched());
    EXPECT_TRUE(services.empty());
}

TEST_F(CBCacheHelperTest, BluetoothThatWillNotStopLeavesTheCacheAlone) {
    serviceErrors["stop"] = "systemctl stop bluetooth.service failed (status 5): Unit bluetooth.service not loaded.";
    auto lines = splitLines(send(request(CNPolkitCacheConsent::makeToken())));
    EXPECT_EQ(lines, (Lines{successReport()[0], "Stopping bluetooth.service.", serviceErrors["stop"],
                            "Nothing was cleared."}));
    EXPECT_TRUE(tree.untouched());
    EXPECT_EQ(services, Lines{"stop (cache whole)"});

    // Stopped, cleared, but not started again: said so.
    serviceErrors = {{"start", "systemctl start bluetooth.service failed (status 1)"}};
    services.clear();
    lines = splitLines(send(request(CNPolkitCacheConsent::makeToken())));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{serviceErrors["start"], "Done, with errors."}));
    EXPECT_EQ(services, (Lines{"stop (cache whole)", "start"}));
}

TEST_F(CBCacheHelperTest, ServeAnswersListenedConnectionsInTurnOrAnAcceptedOne) {
    TempDir dir;
    std::string error;
    const int listening = CBCacheHelper::listenOn(dir.file("s"), error);
    ASSERT_GE(listening, 0) << error;
    auto o = options();
    o.idleExit = 300ms;
    CBCacheHelper helper(o);
    int status = -1;
    std::thread server([&] { status = helper.serve(listening); });
    // Two callers in turn; the second is answered after the first.
    for (std::uint8_t command : {std::uint8_t('x'), std::uint8_t('y')}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("s").c_str());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const Bytes bytes = request(CNPolkitCacheConsent::makeToken(), command);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char expected[64];
        std::snprintf(expected, sizeof expected, "Unknown command 0x%02x: refused.\n", command);
        EXPECT_EQ(readUntilClosed(fd), expected);
        ::close(fd);
    }
    server.join();  // ends by itself once idle
    EXPECT_EQ(status, 0);
    ::close(listening);

    // A connection already accepted (an Accept=yes unit hands over one) is answered on its own.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::thread single([&] { status = helper.serve(fds[0]); });
    const Bytes bytes = request(CNPolkitCacheConsent::makeToken(), 'z');
    ::send(fds[1], bytes.data(), bytes.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readUntilClosed(fds[1]), "Unknown command 0x7a: refused.\n");
    single.join();
    EXPECT_EQ(status, 0);
    ::close(fds[1]);
}

// --- the program, as systemd starts it

TEST_F(CBCacheHelperTest, ProgramTakesSystemdsSocketAndRunsSystemctl) {
    TempDir dir;
    const std::string socketPath = dir.file("cbcache.socket");
    const std::string systemctl = dir.file("systemctl");
    std::ofstream(systemctl) << "#!/bin/sh\necho \"$@\" >> '" << dir.file("systemctl.log") << "'\n";
    ::chmod(systemctl.c_str(), 0755);
    const std::string pkcheck = dir.file("pkcheck");
    std::ofstream(pkcheck) << "#!/bin/sh\nexit 0\n";
    ::chmod(pkcheck.c_str(), 0755);

    // The listening socket goes to the program as descriptor 3 with LISTEN_FDS and
    // LISTEN_PID, as systemd hands it over.
    std::string error;
    const int listening = CBCacheHelper::listenOn(socketPath, error);
    ASSERT_GE(listening, 0) << error;
    ::fcntl(listening, F_SETFD, 0);
    const std::string script = "LISTEN_FDS=1 LISTEN_PID=$$ exec \"$0\" \"$@\" 3<&" + std::to_string(listening);
    ChildProcess program({"/bin/sh", "-c", script, TANDRIL_CBCACHE_HELPER_EXECUTABLE, "--storage", tree.root(),
                          "--systemctl", systemctl},
                         dir.file("helper.log"));
    ::close(listening);

    LogCapture logs;
    CNCacheHelperClient::setSocketPath(socketPath);
    CNCacheHelperClient(std::make_shared<CNPolkitCacheConsent>(PolkitCheck(pkcheck))).clearCache();
    CNCacheHelperClient::setSocketPath("");
    std::string reply;
    for (const auto& line : logs.lines()) {
        if (line.rfind("log content: ", 0) == 0) reply += line.substr(std::string("log content: ").size());
    }
    EXPECT_EQ(splitLines(reply), successReport());
    EXPECT_EQ(BlueZTree::read(dir.file("systemctl.log")),
              "--no-ask-password stop bluetooth.service\n--no-ask-password start bluetooth.service\n");
    EXPECT_EQ(BlueZTree::read(tree.adapterPath(std::string("cache/") + BlueZTree::kPhone)), BlueZTree::kPhoneCacheCleared);
    EXPECT_TRUE(tree.keysAndNamesIntact());
    EXPECT_TRUE(program.isRunning());  // it waits for the next caller
    program.stop();
    // Its journal names the caller.
    EXPECT_NE(BlueZTree::read(dir.file("helper.log")).find("Connection from process " + std::to_string(::getpid())),
              std::string::npos);
}

TEST(CBCacheHelperProgramTest, WithoutSystemdsSocketItSaysHowItIsStartedAndEnds) {
    const std::string helper = TANDRIL_CBCACHE_HELPER_EXECUTABLE;
    EXPECT_EQ(WEXITSTATUS(std::system(("env -u LISTEN_FDS -u LISTEN_PID " + helper + " 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(std::system((helper + " --storage 2>/dev/null").c_str())), 2);
    FILE* out = ::popen((helper + " --version").c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
    ::pclose(out);
    EXPECT_EQ(std::string(line), std::string("tandril-cbcache-helper ") + TANDRIL_PROJECT_VERSION + "\n");
}

}  // namespace
}  // namespace tandril::test
