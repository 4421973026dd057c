// The Bluetooth-cache helper client against a stand-in helper on a temporary socket, the
// helper installation steps, and the polkit consent's reading of pkcheck.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "engine/TestEngine.hpp"
#include "engine/CNCacheConsent.hpp"
#include "engine/CNCacheHelperClient.hpp"
#include "engine/CNHelperInstaller.hpp"
#include "engine/ConnectionFixture.hpp"
#include "platform/linux/CNPolkitCacheConsent.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {
namespace {

// A consent that answers as told and records what the client asked.
class FakeConsent : public CNCacheConsent {
public:
    std::int32_t status = StatusSuccess;
    std::optional<std::vector<Right>> rights;
    std::optional<Bytes> form = Bytes(32, 0xA5);
    bool createFails = false;
    // Runs when the client asks for the external form (it is connected by then).
    std::function<void()> beforeExternalForm;
    std::vector<std::string> askedRights;
    int sessions = 0;

    std::unique_ptr<Session> createSession() override {
        if (createFails) return nullptr;
        ++sessions;
        return std::make_unique<FakeSession>(*this);
    }

private:
    class FakeSession : public Session {
    public:
        explicit FakeSession(FakeConsent& owner) : owner_(owner) {}
        Answer extendRight(const std::string& right) override {
            owner_.askedRights.push_back(right);
            return Answer{owner_.status, owner_.rights};
        }
        std::optional<Bytes> externalForm() override {
            if (owner_.beforeExternalForm) owner_.beforeExternalForm();
            return owner_.form;
        }

    private:
        FakeConsent& owner_;
    };
};

// A helper stand-in: accepts one connection, reads the request, writes `reply`, and then
// closes (or keeps the connection open until it is destroyed).
class StandInHelper {
public:
    enum class Mode { ReplyAndClose, ReplyAndHold, CloseAtOnce };

    StandInHelper(std::string path, Bytes reply, Mode mode = Mode::ReplyAndClose)
        : path_(std::move(path)), reply_(std::move(reply)), mode_(mode) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInHelper() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
        ::unlink(path_.c_str());
    }

    // What the client sent, once the exchange is over.
    Bytes received() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }
    bool accepted() {
        if (thread_.joinable()) thread_.join();
        return accepted_;
    }
    std::future<void> closed() { return closed_.get_future(); }

private:
    void serve() {
        pollfd entry{listener_, POLLIN, 0};
        // A client that is not coming (cancelled consent) is waited for briefly only.
        if (::poll(&entry, 1, 500) <= 0) {
            closed_.set_value();
            return;
        }
        const int connection = ::accept(listener_, nullptr, nullptr);
        accepted_ = connection >= 0;
        if (mode_ == Mode::CloseAtOnce) {
            ::close(connection);
            closed_.set_value();
            return;
        }
        std::uint8_t buffer[64];
        while (received_.size() < 33) {
            pollfd in{connection, POLLIN, 0};
            if (::poll(&in, 1, 2000) <= 0) break;
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received_.insert(received_.end(), buffer, buffer + n);
        }
        std::size_t sent = 0;
        while (sent < reply_.size()) {
            const ssize_t n = ::send(connection, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        if (mode_ == Mode::ReplyAndHold) {
            while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            // Anything more the client sends would show here.
            pollfd in{connection, POLLIN, 0};
            if (::poll(&in, 1, 50) > 0) {
                const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
                if (n > 0) received_.insert(received_.end(), buffer, buffer + n);
            }
        }
        ::close(connection);
        closed_.set_value();
    }

    std::string path_;
    Bytes reply_;
    Mode mode_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    Bytes received_;
    bool accepted_ = false;
    std::promise<void> closed_;
};

class CacheHelperTest : public ::testing::Test {
protected:
    CacheHelperTest() {
        CNCacheHelperClient::setSocketPath(socketPath);
        CNCacheHelperClient::setReplyTimeout(seconds(5));
    }
    ~CacheHelperTest() override {
        CNCacheHelperClient::setSocketPath("");
        CNCacheHelperClient::setReplyTimeout(seconds(15));
    }
    void clear() { CNCacheHelperClient(consent).clearCache(); }
    std::vector<std::string> contentLines() const {
        std::vector<std::string> out;
        for (const auto& line : logs.lines()) {
            if (line.rfind("log content: ", 0) == 0) out.push_back(line);
        }
        return out;
    }

    TempDir dir;
    std::string socketPath = dir.file("cbcache.socket");
    std::shared_ptr<FakeConsent> consent = std::make_shared<FakeConsent>();
    LogCapture logs;
};

TEST_F(CacheHelperTest, SendsTheThirtyTwoBytesAndTheCommandThenLogsTheReplyByChunk) {
    StandInHelper helper(socketPath, Bytes(5000, 'a'));
    clear();
    Bytes expected(32, 0xA5);
    expected.push_back(0x73);
    EXPECT_EQ(helper.received(), expected);
    EXPECT_EQ(consent->askedRights, std::vector<std::string>{"com.Varn.cbcache.clear"});
    EXPECT_EQ(logs.lines().front(), "auth success");
    const auto lines = contentLines();
    ASSERT_GE(lines.size(), 2u);
    std::size_t total = 0;
    for (const auto& line : lines) {
        const auto text = line.substr(std::string("log content: ").size());
        EXPECT_LE(text.size(), 4096u);
        EXPECT_EQ(text, std::string(text.size(), 'a'));
        total += text.size();
    }
    EXPECT_EQ(total, 5000u);
}

TEST_F(CacheHelperTest, CancelledConsentSendsNothingWhileDeniedAndFailedConsentsAreStillSent) {
    {
        consent->status = CNCacheConsent::StatusCanceled;
        StandInHelper helper(socketPath, {});
        clear();
        EXPECT_FALSE(helper.accepted());
        EXPECT_EQ(logs.lines(), std::vector<std::string>{"auth cancelled"});
    }
    for (auto status : {CNCacheConsent::StatusDenied, CNCacheConsent::StatusInternal}) {
        logs.clear();
        consent->status = status;
        StandInHelper helper(socketPath, bytesFromString("refused"));
        clear();
        EXPECT_EQ(helper.received().size(), 33u);
        EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                    status == CNCacheConsent::StatusDenied ? "auth denied" : "auth error -60008",
                                    "log content: refused"}));
    }
}

TEST_F(CacheHelperTest, RightThatCannotBePreauthorizedStopsBeforeTheSocket) {
    {
        consent->rights = std::vector<CNCacheConsent::Right>{{"com.Varn.cbcache.clear", 1}};
        StandInHelper helper(socketPath, {});
        clear();
        EXPECT_FALSE(helper.accepted());
        EXPECT_EQ(logs.lines(), (std::vector<std::string>{"auth success", "no rights"}));
    }

    // Other rights, or the flag absent, go on to the helper.
    logs.clear();
    consent->rights = std::vector<CNCacheConsent::Right>{{"com.Varn.other", 1}, {"com.Varn.cbcache.clear", 2}};
    StandInHelper second(socketPath, bytesFromString("ok"));
    clear();
    EXPECT_EQ(second.received().size(), 33u);
}

TEST_F(CacheHelperTest, FailuresBeforeTheExchangeEachEndWithOneLine) {
    consent->createFails = true;
    clear();
    EXPECT_TRUE(logs.lines().empty());

    consent->createFails = false;
    clear();  // nobody listens
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"auth success",
                                                      "error connecting to socket: No such file or directory"}));

    logs.clear();
    consent->form = Bytes(31, 0);
    StandInHelper helper(socketPath, {});
    clear();
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"auth success", "error externalising the authorization reference"}));
    EXPECT_TRUE(helper.received().empty());

    logs.clear();
    CNCacheHelperClient(nullptr).clearCache();
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(CacheHelperTest, HelperThatClosesEarlyIsSurvived) {
    StandInHelper helper(socketPath, {}, StandInHelper::Mode::CloseAtOnce);
    auto closed = helper.closed();
    consent->beforeExternalForm = [&closed] { closed.wait(); };
    clear();
    ASSERT_EQ(logs.lines().size(), 2u);
    EXPECT_EQ(logs.lines()[1], "couldn't write to socket: Broken pipe");
}

TEST_F(CacheHelperTest, HelperThatNeverClosesIsGivenUpOnAfterTheDeadline) {
    CNCacheHelperClient::setReplyTimeout(std::chrono::milliseconds(200));
    StandInHelper helper(socketPath, bytesFromString("working"), StandInHelper::Mode::ReplyAndHold);
    clear();
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"auth success", "log content: working",
                                                      "the helper did not finish in time"}));
}

TEST_F(CacheHelperTest, ChunkThatIsNotUTF8LogsAnAbsentText) {
    StandInHelper helper(socketPath, Bytes{0xC3, 0x28});
    clear();
    EXPECT_EQ(contentLines(), std::vector<std::string>{"log content: (null)"});
}

// --- installation, through the engine

class FakeInstaller : public CNHelperInstaller {
public:
    bool installed = false;
    std::int32_t authorization = 0;
    ErrorPtr installError;
    int installs = 0;
    bool isJobInstalled(const std::string& label) override {
        EXPECT_EQ(label, "com.Varn.cbcache");
        return installed;
    }
    std::int32_t authorizeInstallation() override { return authorization; }
    ErrorPtr installJob(const std::string&) override {
        ++installs;
        if (!installError) installed = true;
        return installError;
    }
};

class HelperInstallTest : public ConnectionFixture {
protected:
    std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>();
    void SetUp() override {
        CNHelperInstaller::setShared(installer);
        logs.clear();
    }
};

TEST_F(HelperInstallTest, EveryOutcomeOfTheInstallationIsLogged) {
    installer->installed = true;
    EXPECT_TRUE(engine->installHelper());
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"[HELPER] Helper already installed!"});

    logs.clear();
    installer->installed = false;
    installer->authorization = CNCacheConsent::StatusCanceled;
    EXPECT_FALSE(engine->installHelper());
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"[HELPER] Gaining right to install helper...",
                                                      "[HELPER] Couldn't create AuthorizationRef: error -60006"}));

    logs.clear();
    installer->authorization = 0;
    installer->installError = Error::withDescription("CNHelperInstallerErrorDomain", 5, "unit missing");
    EXPECT_FALSE(engine->installHelper());
    EXPECT_EQ(logs.lines(), (std::vector<std::string>{"[HELPER] Gaining right to install helper...",
                                                      "[HELPER] Authorization success!",
                                                      "[HELPER] Couldn't install privileged helper: unit missing"}));

    logs.clear();
    installer->installError = nullptr;
    EXPECT_TRUE(engine->installHelper());
    EXPECT_EQ(logs.lines().back(), "[HELPER] Job blessed!");
    EXPECT_TRUE(engine->isHelperInstalled());
}

TEST_F(HelperInstallTest, CreationInstallsAMissingHelperOnce) {
    auto again = createTestEngine();
    EXPECT_EQ(installer->installs, 1);
    EXPECT_TRUE(logs.contains("[HELPER] Job blessed!"));
    logs.clear();
    auto third = createTestEngine();
    EXPECT_EQ(installer->installs, 1);
    EXPECT_FALSE(logs.contains("[HELPER] Helper already installed!"));
}

// --- the polkit consent

class PolkitConsentTest : public ::testing::Test {
protected:
    // A stand-in pkcheck that records its arguments and exits with `status`.
    std::string fakePkcheck(int status) {
        const auto path = dir.file("pkcheck-" + std::to_string(status));
        std::ofstream(path) << "#!/bin/sh\necho \"$@\" > '" << dir.file("arguments") << "'\nexit " << status << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string arguments() {
        std::ifstream file(dir.file("arguments"));
        std::string line;
        std::getline(file, line);
        return line;
    }
    TempDir dir;
};

TEST_F(PolkitConsentTest, PkcheckOutcomesReadAsConsentAnswers) {
    struct Case {
        int exit;
        std::int32_t status;
        bool rights;
    };
    for (const auto& c : {Case{0, CNCacheConsent::StatusSuccess, true}, Case{1, CNCacheConsent::StatusDenied, false},
                          Case{2, CNCacheConsent::StatusInteractionNotAllowed, true},
                          Case{3, CNCacheConsent::StatusCanceled, false},
                          Case{127, CNCacheConsent::StatusInternal, false}}) {
        SCOPED_TRACE(c.exit);
        CNPolkitCacheConsent consent{PolkitCheck(fakePkcheck(c.exit))};
        auto session = consent.createSession();
        const auto answer = session->extendRight("com.Varn.cbcache.clear");
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.rights.has_value(), c.rights);
        EXPECT_EQ(arguments(), "--action-id com.Varn.cbcache.clear --process " + PolkitCheck::processSubject() +
                                   " --allow-user-interaction");
    }
    // No answer at all from a missing tool is an internal failure, not a consent.
    CNPolkitCacheConsent missing{PolkitCheck(dir.file("no-such-pkcheck"))};
    EXPECT_EQ(missing.createSession()->extendRight("com.Varn.cbcache.clear").status, CNCacheConsent::StatusInternal);
}

TEST_F(PolkitConsentTest, TokenIsThirtyTwoBytesNamingThisProcess) {
    const auto token = CNPolkitCacheConsent::makeToken();
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(std::string(token.begin(), token.begin() + 4), "TDRC");
    const std::uint32_t pid = (std::uint32_t(token[4]) << 24) | (std::uint32_t(token[5]) << 16) |
                              (std::uint32_t(token[6]) << 8) | token[7];
    EXPECT_EQ(pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_NE(CNPolkitCacheConsent::makeToken(), token);
}

}  // namespace
}  // namespace tandril::test
