// The stock phone's side of the link (tandril-bluez-phone --stock) against the stand-in
// bluetoothd: the phone, a central here, finds the desktop by its advertised name, connects
// and pairs when tapped, and once bonded comes back when it hears the desktop again.

#include <gtest/gtest.h>

#include <QtCore/QMetaObject>
#include <QtCore/QThread>

#include <atomic>
#include <mutex>

#include "bluez/BluezFixture.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/bluezphone/BluezPhoneDesktopLink.hpp"
#include "sim/SimPeripheral.hpp"
#include "sim/SimRadio.hpp"

namespace tandril::test {
namespace {

class BluezPhoneDesktopLinkTest : public BluezFixture {
protected:
    BluezPhoneDesktopLinkTest() {
        auto options = standInOptions();
        options.pairingPasskey = 271828;
        restartStandIn(options);
        desk = SimPeripheral::create(std::string("Desk"));
        desk->setAcceptsPairing(true);
        radio->addPeripheral(desk);
        static std::atomic<int> counter{0};
        connectionName = QString("tandril-test-phone-%1").arg(counter.fetch_add(1));
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), connectionName);
        thread.start();
        link = new BluezPhoneDesktopLink(QDBusConnection(connectionName), QString::fromStdString(standIn->adapterPath()),
                                         "Desk");
        link->setReporter([this](const std::string& line) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                lines.push_back(line);
            }
            RunLoop::main().post([] {});
        });
        link->moveToThread(&thread);
    }
    ~BluezPhoneDesktopLinkTest() override {
        QMetaObject::invokeMethod(link, [this] { delete link; }, Qt::BlockingQueuedConnection);
        QDBusConnection::disconnectFromBus(connectionName);
        thread.quit();
        thread.wait();
    }
    void onLinkThread(std::function<void()> job) { QMetaObject::invokeMethod(link, std::move(job), Qt::QueuedConnection); }
    std::size_t linesStartingWith(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t n = 0;
        for (const auto& line : lines) n += line.rfind(prefix, 0) == 0;
        return n;
    }
    bool waitForLine(const std::string& prefix, std::size_t count = 1) {
        return advanceUntil([&] { return linesStartingWith(prefix) >= count; }, 10);
    }

    std::shared_ptr<SimPeripheral> desk;
    QString connectionName;
    QThread thread;
    BluezPhoneDesktopLink* link = nullptr;
    std::mutex mutex;
    std::vector<std::string> lines;
};

TEST_F(BluezPhoneDesktopLinkTest, TappedItConnectsAndPairsAndOnceBondedComesBackWhenItHearsTheDesktop) {
    auto& agent = registerAgent();
    onLinkThread([this] { link->start(); });
    ASSERT_TRUE(waitForLine("looking for Desk"));
    radio->advertise(desk);
    ASSERT_TRUE(waitForLine("desktop found " + standIn->devicePath(desk->identifier())));
    // Not bonded: hearing the desktop again does nothing until the user taps it.
    radio->advertise(desk);
    settle();
    EXPECT_FALSE(desk->isLinked());

    onLinkThread([this] { link->tap(); });
    ASSERT_TRUE(waitForLine("paired with "));
    EXPECT_EQ(linesStartingWith("connected to "), 1u);
    EXPECT_TRUE(desk->isLinked());
    EXPECT_TRUE(desk->isBonded());
    // The desktop's agent was asked to confirm the code.
    EXPECT_EQ(agent.passkeys(), std::vector<std::uint32_t>{271828});

    // The link drops; the bonded phone reconnects once the desktop advertises.
    desk->dropLink();
    ASSERT_TRUE(waitForLine("desktop link down "));
    radio->advertise(desk);
    ASSERT_TRUE(waitForLine("reconnecting to "));
    ASSERT_TRUE(waitForLine("connected to ", 2));
    EXPECT_TRUE(desk->isLinked());
    EXPECT_EQ(standIn->callCount("Pair"), 1u);
}

TEST_F(BluezPhoneDesktopLinkTest, ATapBeforeTheDesktopWasHeardIsReported) {
    onLinkThread([this] { link->tap(); });
    ASSERT_TRUE(waitForLine("tap: no desktop named Desk heard yet"));
    EXPECT_EQ(standIn->callCount("Connect"), 0u);
}

}  // namespace
}  // namespace tandril::test
