#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>

#include "agent/TDRUserNotification.hpp"
#include "desktop/DesktopFixture.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "http/LoopbackHTTPServer.hpp"
#include "platform/linux/desktop/WinUpdater.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

using namespace std::chrono_literals;

std::string feed(const std::string& version, const std::string& link = "https://tandril.example/releases/") {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://example.invalid/xml-namespaces/sparkle">
 <channel><title>Tandril</title>
  <item><title>Tandril )" + version + "</title><link>" + link + version + R"(</link>
   <enclosure url="https://tandril.example/Tandril.tar.xz" sparkle:version=")" + version + R"(" length="1"/>
  </item>
 </channel>
</rss>)";
}

class WinUpdaterTest : public test::LoopFixture {
protected:
    WinUpdaterTest() {
        const auto path = home.file("TandrilPane.prefPane");
        Paths::createDirectories(path + "/Contents");
        PropertyList::writeFile(Value(Dictionary{{"CFBundleVersion", "0.1.0"}}), path + "/Contents/Info.plist");
        WinUpdater::Hooks hooks;
        hooks.notify = [this](const std::shared_ptr<TDRUserNotification>& n, std::function<void()> action) {
            notifications.push_back(n);
            actions.push_back(std::move(action));
        };
        hooks.openURL = [this](const std::string& url) { opened.push_back(url); };
        updater = std::make_unique<WinUpdater>(Bundle::bundleWithPath(path), hooks);
        updater->setFeedURL(server.url("/app/appcast.xml"));
    }
    ~WinUpdaterTest() override { updater.reset(); }

    void serve(std::string body, int status = 200) {
        test::LoopbackHTTPServer::Response response;
        response.status = status;
        response.contentType = "application/xml";
        response.body = std::move(body);
        server.route("/app/appcast.xml", response);
    }
    void check(bool userVisible) {
        userVisible ? updater->checkForUpdates(nullptr) : updater->checkForUpdatesInBackground();
        ASSERT_TRUE(loop().runUntil([this] { return !updater->isChecking(); }, 10s));
    }
    QString dialogText() { return updater->dialog() ? updater->dialog()->text() : QString(); }

    bool application_ = (test::DesktopFixture::ensureApplication(), true);
    test::LoopbackHTTPServer server;
    std::unique_ptr<WinUpdater> updater;
    std::vector<std::shared_ptr<TDRUserNotification>> notifications;
    std::vector<std::function<void()>> actions;
    std::vector<std::string> opened;
};

TEST_F(WinUpdaterTest, ANewerVersionIsAnnouncedOnceAndItsActionOpensTheReleasePage) {
    serve(feed("0.2.0"));
    check(false);
    EXPECT_TRUE(logs.contains("[Updater] Tandril 0.2.0 is available (installed 0.1.0)."));
    ASSERT_EQ(notifications.size(), 1u);
    EXPECT_EQ(notifications[0]->title(), "Tandril 0.2.0 is available");
    EXPECT_EQ(updater->dialog(), nullptr);
    EXPECT_TRUE(opened.empty());
    actions[0]();
    EXPECT_EQ(opened, std::vector<std::string>{"https://tandril.example/releases/0.2.0"});

    check(false);
    EXPECT_EQ(notifications.size(), 1u);

    // The quiet check comes back every day; a still newer version is announced too.
    serve(feed("0.3.0"));
    const auto before = server.requests().size();
    advance(WinUpdater::kBackgroundInterval - 1);
    EXPECT_EQ(server.requests().size(), before);
    advance(1);
    ASSERT_TRUE(loop().runUntil([this] { return !updater->isChecking(); }, 10s));
    EXPECT_EQ(server.requests().size(), before + 1);
    ASSERT_EQ(notifications.size(), 2u);
    EXPECT_EQ(notifications[1]->title(), "Tandril 0.3.0 is available");
    serve(feed("0.2.0"));

    // Asked for, it is a dialog whose button opens the page; nothing is downloaded.
    check(true);
    EXPECT_EQ(dialogText(), "Tandril 0.2.0 is available.");
    ASSERT_EQ(updater->dialog()->buttons().size(), 2);
    for (auto* button : updater->dialog()->buttons()) {
        if (button->text() == "Open Release Page") button->click();
    }
    EXPECT_EQ(opened.size(), 2u);
    for (const auto& request : server.requests()) EXPECT_EQ(request.path, "/app/appcast.xml");
}

TEST_F(WinUpdaterTest, AnEqualOrOlderVersionIsQuietInTheBackgroundAndUpToDateWhenAsked) {
    serve(feed("0.1.0"));
    check(false);
    EXPECT_TRUE(logs.contains("[Updater] Tandril is up to date (installed 0.1.0, newest 0.1.0)."));
    // Between checks no HTTP worker thread is kept awake.
    runUntilIdle();
    EXPECT_FALSE(updater->hasHTTPClient());
    check(true);
    EXPECT_EQ(dialogText(), "Tandril is up to date.");

    serve(feed("0.0.9"));
    check(false);
    check(true);
    EXPECT_TRUE(notifications.empty());
    EXPECT_EQ(dialogText(), "Tandril is up to date.");
}

TEST_F(WinUpdaterTest, ABrokenFeedIsLoggedAndAUserCheckSaysItFailed) {
    const std::vector<std::pair<std::string, int>> broken{
        {"<html>not a feed", 200},
        {"<rss><channel></channel></rss>", 200},
        {feed("9.0") + std::string(WinUpdater::kMaxFeedBytes, ' '), 200},
        {feed("9.0"), 404},
    };
    for (const auto& [body, status] : broken) {
        SCOPED_TRACE(status);
        logs.clear();
        serve(body, status);
        check(true);
        EXPECT_EQ(dialogText(), "The update check failed.");
        const auto lines = logs.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("[Updater] Update check failed: ", 0), 0u) << lines[0];
    }
    EXPECT_TRUE(notifications.empty());

    // Nobody answering at all.
    server.route("/app/appcast.xml", test::LoopbackHTTPServer::Response{});
    updater->setFeedURL("http://127.0.0.1:1/app/appcast.xml");
    check(true);
    EXPECT_EQ(dialogText(), "The update check failed.");
}

TEST_F(WinUpdaterTest, OnlyAWebPageFromTheFeedIsOpened) {
    serve(feed("0.3.0", "file:///etc/"));
    check(false);
    ASSERT_EQ(notifications.size(), 1u);
    actions[0]();
    check(true);
    EXPECT_EQ(updater->dialog()->buttons().size(), 1);
    EXPECT_TRUE(opened.empty());
}

}  // namespace
}  // namespace tandril
