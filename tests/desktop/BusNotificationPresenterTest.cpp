#include "platform/linux/desktop/BusNotificationPresenter.hpp"

#include <QDBusConnectionInterface>

#include "agent/TDRUserNotification.hpp"
#include "desktop/DbusMock.hpp"
#include "desktop/DesktopFixture.hpp"
#include "foundation/Paths.hpp"
#include "http/Image.hpp"

namespace tandril::test {
namespace {

const QString kInterface = "org.freedesktop.Notifications";

class ActivationRecorder : public TDRUserNotificationCenterDelegate {
public:
    bool userNotificationCenterShouldPresentNotification(TDRUserNotificationCenter*,
                                                         const std::shared_ptr<TDRUserNotification>&) override {
        return true;
    }
    void userNotificationCenterDidActivateNotification(TDRUserNotificationCenter*,
                                                       const std::shared_ptr<TDRUserNotification>& n) override {
        activated.push_back(n);
    }
    std::vector<std::shared_ptr<TDRUserNotification>> activated;
};

class BusNotificationPresenterTest : public DesktopFixture {
protected:
    // A notification daemon with these capabilities and this protocol version.
    std::unique_ptr<DbusMock> startServer(const std::string& capabilities, const QString& version = "1.2") {
        auto server = std::make_unique<DbusMock>(DbusMock::notificationDaemon(), bus(),
                                                 home.file("daemon" + std::to_string(++servers) + ".log"),
                                                 R"({"capabilities": ")" + capabilities + R"("})");
        EXPECT_TRUE(server->isReady()) << server->error();
        server->addMethod(kInterface, "GetServerInformation", "", "ssss",
                          "ret = ('mock', 'test', '1.0', '" + version + "')");
        return server;
    }
    std::unique_ptr<BusNotificationPresenter> makePresenter() {
        auto presenter = std::make_unique<BusNotificationPresenter>(
            bus(), BusNotificationPresenter::Options{"Tandril", "tandril", stateFile()});
        return presenter;
    }
    std::string stateFile() { return home.file("state/Tandril/notifications.plist"); }
    static std::shared_ptr<TDRUserNotification> note(std::string title, std::optional<std::string> subtitle,
                                                     std::string text) {
        auto n = std::make_shared<TDRUserNotification>();
        n->setTitle(std::move(title));
        n->setSubtitle(std::move(subtitle));
        n->setInformativeText(std::move(text));
        return n;
    }
    bool waitForCalls(const DbusMock& server, const QString& method, std::size_t count) {
        return waitUntil([&] { return server.methodCalls(method).size() >= count; });
    }
    int servers = 0;
};

TEST_F(BusNotificationPresenterTest, NotifyCarriesTextsGroupingHintsAndTheIconInTheServersLayout) {
    auto server = startServer("body actions icon-static");
    auto presenter = makePresenter();
    ASSERT_TRUE(waitUntil([&] { return presenter->isServerReady(); }));

    auto message = note("Messages", std::string("Alice"), "See you at 8");
    // 2x1 pixels, RGBA: one red opaque, one half-transparent blue.
    message->setIdentityImage(Image::create(2, 1, Bytes{255, 0, 0, 255, 0, 0, 255, 128}));
    presenter->deliverNotification(message);
    presenter->deliverNotification(note("Tandril", std::nullopt, "Connected to Sam's iPhone."));
    ASSERT_TRUE(waitForCalls(*server, "Notify", 2));

    const auto calls = server->methodCalls("Notify");
    const QVariantList& first = calls[0];
    ASSERT_EQ(first.size(), 8);
    EXPECT_EQ(first[0].toString(), "Tandril");            // app_name
    EXPECT_EQ(first[1].toUInt(), 0u);                     // replaces nothing
    EXPECT_EQ(first[3].toString(), "Messages");           // summary: the application
    EXPECT_EQ(first[4].toString(), "Alice\nSee you at 8");  // subtitle line, then the message
    EXPECT_EQ(first[5].toStringList(), (QStringList{"default", "Open"}));
    const QVariantMap hints = first[6].toMap();
    EXPECT_EQ(hints.value("desktop-entry").toString(), "tandril");
    ASSERT_TRUE(hints.contains("image-data")) << hints.keys().join(",").toStdString();
    const QVariantList image = hints.value("image-data").toList();
    ASSERT_EQ(image.size(), 7);
    EXPECT_EQ(image[0].toInt(), 2);   // width
    EXPECT_EQ(image[1].toInt(), 1);   // height
    EXPECT_EQ(image[2].toInt(), 8);   // rowstride
    EXPECT_EQ(image[3].toBool(), true);  // has alpha
    EXPECT_EQ(image[4].toInt(), 8);   // bits per sample
    EXPECT_EQ(image[5].toInt(), 4);   // channels
    EXPECT_EQ(image[6].toByteArray(), QByteArray("\xff\x00\x00\xff\x00\x00\xff\x80", 8));

    const QVariantList& notice = calls[1];
    EXPECT_EQ(notice[3].toString(), "Tandril");
    EXPECT_EQ(notice[4].toString(), "Connected to Sam's iPhone.");
    EXPECT_FALSE(notice[6].toMap().contains("image-data"));
}

TEST_F(BusNotificationPresenterTest, TextsWithNulCharactersFromThePhoneStillArrive) {
    auto server = startServer("body");
    auto presenter = makePresenter();
    // D-Bus strings cannot hold U+0000; a phone text with one must not lose the notification.
    presenter->deliverNotification(note(std::string("Mail\0App", 8), std::string("Al\0ice", 6), std::string("hi\0there", 8)));
    ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
    const QVariantList call = server->methodCalls("Notify")[0];
    EXPECT_EQ(call[3].toString(), "MailApp");
    EXPECT_EQ(call[4].toString(), "Alice\nhithere");
}

TEST_F(BusNotificationPresenterTest, AServerWithABrokenQueryStillGetsPlainNotifications) {
    auto server = startServer("body body-markup actions");
    ASSERT_TRUE(server->addMethod(kInterface, "GetServerInformation", "", "ssss",
                                  "raise dbus.exceptions.DBusException('broken', name='org.example.Broken')"));
    auto presenter = makePresenter();
    presenter->deliverNotification(note("Mail", std::nullopt, "a < b"));
    ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
    EXPECT_TRUE(logs.contains("[BusNotificationPresenter] The notification server did not answer its queries (broken); "
                              "sending plain notifications."));
    const QVariantList call = server->methodCalls("Notify")[0];
    EXPECT_EQ(call[4].toString(), "a &lt; b");  // the capabilities it did give still count
}

TEST_F(BusNotificationPresenterTest, ImageHintNameFollowsTheProtocolVersion) {
    EXPECT_EQ(BusNotificationPresenter::imageHintName("1.2"), "image-data");
    EXPECT_EQ(BusNotificationPresenter::imageHintName("1.10"), "image-data");
    EXPECT_EQ(BusNotificationPresenter::imageHintName("2"), "image-data");
    EXPECT_EQ(BusNotificationPresenter::imageHintName("1.1"), "image_data");
    EXPECT_EQ(BusNotificationPresenter::imageHintName("1.0"), "icon_data");
    EXPECT_EQ(BusNotificationPresenter::imageHintName("0.9"), "icon_data");
    EXPECT_EQ(BusNotificationPresenter::imageHintName("garbage"), "image-data");

    // And on the wire, for a 1.1 server.
    auto server = startServer("body", "1.1");
    auto presenter = makePresenter();
    auto n = note("Mail", std::nullopt, "x");
    n->setIdentityImage(Image::create(1, 1, Bytes{1, 2, 3, 4}));
    presenter->deliverNotification(n);
    ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
    const QVariantMap hints = server->methodCalls("Notify")[0][6].toMap();
    EXPECT_TRUE(hints.contains("image_data"));
    EXPECT_FALSE(hints.contains("image-data"));
    EXPECT_TRUE(server->methodCalls("Notify")[0][5].toStringList().isEmpty());  // no actions capability
}

TEST_F(BusNotificationPresenterTest, BodyIsEscapedOnlyForServersThatReadMarkup) {
    const std::string hostile = "<b>5 < 6</b> & \"bold\"";
    {
        auto server = startServer("body body-markup");
        auto presenter = makePresenter();
        presenter->deliverNotification(note("A&B <Tools>", std::string("x>y"), hostile));
        ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
        const QVariantList call = server->methodCalls("Notify")[0];
        EXPECT_EQ(call[4].toString(), "x&gt;y\n&lt;b&gt;5 &lt; 6&lt;/b&gt; &amp; \"bold\"");
        EXPECT_EQ(call[3].toString(), "A&B <Tools>");  // the summary is plain text for every server
    }
    {
        auto server = startServer("body");
        auto presenter = makePresenter();
        presenter->deliverNotification(note("A&B <Tools>", std::string("x>y"), hostile));
        ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
        EXPECT_EQ(server->methodCalls("Notify")[0][4].toString(), QString::fromStdString("x>y\n" + hostile));
    }
}

TEST_F(BusNotificationPresenterTest, WithdrawalClosesTheNotificationEvenBeforeTheServerAnswered) {
    auto server = startServer("body");
    auto presenter = makePresenter();
    ASSERT_TRUE(waitUntil([&] { return presenter->isServerReady(); }));
    auto kept = note("Mail", std::nullopt, "kept");
    auto shown = note("Mail", std::nullopt, "shown, then withdrawn");
    presenter->deliverNotification(kept);
    presenter->deliverNotification(shown);
    ASSERT_TRUE(waitUntil([&] { return presenter->shownCount() == 2; }));
    presenter->removeDeliveredNotification(shown);
    presenter->removeDeliveredNotification(shown);  // no longer shown: ignored
    ASSERT_TRUE(waitForCalls(*server, "CloseNotification", 1));
    EXPECT_EQ(server->methodCalls("CloseNotification")[0][0].toUInt(), 2u);  // the id Notify returned

    // Withdrawn at once, before the Notify reply came back: closed when the id arrives.
    auto fleeting = note("Mail", std::nullopt, "fleeting");
    presenter->deliverNotification(fleeting);
    presenter->removeDeliveredNotification(fleeting);
    ASSERT_TRUE(waitForCalls(*server, "CloseNotification", 2));
    EXPECT_EQ(server->methodCalls("CloseNotification")[1][0].toUInt(), 3u);
    EXPECT_EQ(presenter->shownCount(), 1u);
}

TEST_F(BusNotificationPresenterTest, DefaultActionActivatesOnlyOurNotification) {
    auto server = startServer("body actions");
    auto presenter = makePresenter();
    auto recorder = std::make_shared<ActivationRecorder>();
    presenter->setDelegate(recorder);
    auto n = note("Mail", std::nullopt, "click me");
    presenter->deliverNotification(n);
    ASSERT_TRUE(waitUntil([&] { return presenter->shownCount() == 1; }));
    ASSERT_TRUE(server->emitSignal(kInterface, "ActionInvoked", "us", {99u, "default"}));  // someone else's
    ASSERT_TRUE(server->emitSignal(kInterface, "ActionInvoked", "us", {1u, "other"}));
    ASSERT_TRUE(server->emitSignal(kInterface, "ActionInvoked", "us", {1u, "default"}));
    ASSERT_TRUE(waitUntil([&] { return !recorder->activated.empty(); }));
    drainEvents();
    ASSERT_EQ(recorder->activated.size(), 1u);
    EXPECT_EQ(recorder->activated[0], n);

    // Dismissed by the user: no longer ours to close or show again.
    ASSERT_TRUE(server->emitSignal(kInterface, "NotificationClosed", "uu", {1u, 2u}));
    ASSERT_TRUE(waitUntil([&] { return presenter->shownCount() == 0; }));
    presenter->removeDeliveredNotification(n);
    drainEvents();
    EXPECT_TRUE(server->methodCalls("CloseNotification").empty());
}

TEST_F(BusNotificationPresenterTest, ServerThatVanishesAndReturnsShowsWhatIsStillDelivered) {
    auto presenter = makePresenter();  // no server yet
    ASSERT_TRUE(logs.contains(
        "[BusNotificationPresenter] No notification server on the session bus; notifications are shown once one starts."));
    auto early = note("Mail", std::nullopt, "before any server");
    presenter->deliverNotification(early);

    auto server = startServer("body");
    ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
    EXPECT_EQ(server->methodCalls("Notify")[0][4].toString(), "before any server");

    server->stop();
    ASSERT_TRUE(waitUntil([&] {
        return logs.contains("[BusNotificationPresenter] The notification server left the session bus; notifications "
                             "are shown again once one returns.");
    }));
    auto whileAway = note("Mail", std::nullopt, "while away");
    presenter->deliverNotification(whileAway);
    auto withdrawn = note("Mail", std::nullopt, "withdrawn while away");
    presenter->deliverNotification(withdrawn);
    presenter->removeDeliveredNotification(withdrawn);

    auto again = startServer("body");
    ASSERT_TRUE(waitForCalls(*again, "Notify", 2));
    drainEvents();
    const auto calls = again->methodCalls("Notify");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0][4].toString(), "before any server");
    EXPECT_EQ(calls[1][4].toString(), "while away");
    EXPECT_TRUE(waitUntil([&] { return presenter->shownCount() == 2; }));
}

TEST_F(BusNotificationPresenterTest, StartClosesWhatThePreviousRunLeftOnTheSameServer) {
    auto server = startServer("body");
    {
        auto previous = makePresenter();
        previous->deliverNotification(note("Mail", std::nullopt, "one"));
        previous->deliverNotification(note("Mail", std::nullopt, "two"));
        ASSERT_TRUE(waitUntil([&] { return previous->shownCount() == 2; }));
    }  // the agent ends without withdrawing them
    ASSERT_TRUE(Paths::fileExists(stateFile()));

    auto next = makePresenter();
    next->removeAllDeliveredNotifications();  // before the server has even answered
    ASSERT_TRUE(waitForCalls(*server, "CloseNotification", 2));
    std::vector<unsigned> closed;
    for (const auto& call : server->methodCalls("CloseNotification")) closed.push_back(call[0].toUInt());
    EXPECT_EQ(closed, (std::vector<unsigned>{1u, 2u}));

    // Done once: a later removal closes nothing of the earlier run again.
    server->clearCalls();
    next->removeAllDeliveredNotifications();
    drainEvents();
    EXPECT_TRUE(server->methodCalls("CloseNotification").empty());
}

TEST_F(BusNotificationPresenterTest, IdsOfAnotherServerOrAnUnreadableFileAreLeftAlone) {
    auto server = startServer("body");
    ASSERT_TRUE(Paths::createDirectories(home.file("state/Tandril")));
    ASSERT_TRUE(Paths::writeFileAtomically(
        stateFile(), "<plist version=\"1.0\"><dict><key>server</key><string>:1.999</string>"
                     "<key>ids</key><array><integer>1</integer></array></dict></plist>"));
    auto presenter = makePresenter();
    presenter->removeAllDeliveredNotifications();
    ASSERT_TRUE(waitUntil([&] { return presenter->isServerReady(); }));
    drainEvents();
    EXPECT_TRUE(server->methodCalls("CloseNotification").empty());

    ASSERT_TRUE(Paths::writeFileAtomically(stateFile(), "not a property list"));
    auto again = makePresenter();
    again->removeAllDeliveredNotifications();
    ASSERT_TRUE(waitUntil([&] { return again->isServerReady(); }));
    EXPECT_TRUE(logs.contains("[BusNotificationPresenter] Ignoring the unreadable state file " + stateFile()));
    again->deliverNotification(note("Mail", std::nullopt, "still works"));
    ASSERT_TRUE(waitForCalls(*server, "Notify", 1));
}

}  // namespace
}  // namespace tandril::test
