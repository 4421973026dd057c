#include "platform/linux/desktop/BusSleepMonitor.hpp"

#include "desktop/DbusMock.hpp"
#include "desktop/DesktopFixture.hpp"

namespace tandril::test {
namespace {

const QString kManager = "org.freedesktop.login1.Manager";

class BusSleepMonitorTest : public DesktopFixture {
protected:
    // The inhibitors logind holds now: (what, who, why, mode, uid, pid) each.
    static std::size_t inhibitors(const DbusMock& logind) {
        const QDBusMessage reply = logind.call(kManager, "ListInhibitors");
        return static_cast<std::size_t>(DbusMock::plain(reply.arguments().value(0)).toList().size());
    }
};

TEST_F(BusSleepMonitorTest, InhibitorIsHeldUntilTheSleepReactionRanAndTakenAgainOnWake) {
    DbusMock logind(DbusMock::logind(), bus(), home.file("logind.log"));
    ASSERT_TRUE(logind.isReady()) << logind.error();
    std::vector<std::string> events;
    std::size_t heldDuringSleepReaction = 0;
    BusSleepMonitor monitor(
        bus(),
        [&] {
            events.push_back("will sleep");
            heldDuringSleepReaction = inhibitors(logind);
        },
        [&] { events.push_back("did wake"); });
    monitor.start();
    ASSERT_TRUE(waitUntil([&] { return monitor.holdsInhibitor() && inhibitors(logind) == 1; }));
    const QVariantList inhibit = logind.methodCalls("Inhibit").at(0);
    EXPECT_EQ(inhibit.value(0).toString(), "sleep");
    EXPECT_EQ(inhibit.value(1).toString(), "Tandril");
    EXPECT_EQ(inhibit.value(3).toString(), "delay");

    ASSERT_TRUE(logind.emitSignal(kManager, "PrepareForSleep", "b", {true}));
    ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
    EXPECT_EQ(heldDuringSleepReaction, 1u);  // the reaction ran before the machine was let go
    EXPECT_FALSE(monitor.holdsInhibitor());
    // logind sees it released (no signal tells: its list is read again every 20 ms).
    ASSERT_TRUE(waitUntil([&] { return inhibitors(logind) == 0; }, std::chrono::seconds(10), std::chrono::milliseconds(20)));

    ASSERT_TRUE(logind.emitSignal(kManager, "PrepareForSleep", "b", {false}));
    ASSERT_TRUE(waitUntil([&] { return monitor.holdsInhibitor() && inhibitors(logind) == 1; }));
    EXPECT_EQ(events, (std::vector<std::string>{"will sleep", "did wake"}));
    EXPECT_EQ(logind.methodCalls("Inhibit").size(), 2u);
}

TEST_F(BusSleepMonitorTest, WithoutLogindItLogsAndTakesAnInhibitorOnceLogindStarts) {
    int reactions = 0;
    BusSleepMonitor monitor(bus(), [&] { ++reactions; }, [&] { ++reactions; });
    monitor.start();
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& line : logs.lines()) {
            if (line.rfind("[BusSleepMonitor] No sleep inhibitor from logind (", 0) == 0) return true;
        }
        return false;
    }));
    EXPECT_FALSE(monitor.holdsInhibitor());
    EXPECT_EQ(reactions, 0);

    // logind (re)starts: it knows no inhibitor of ours, so a new one is taken.
    DbusMock logind(DbusMock::logind(), bus(), home.file("logind.log"));
    ASSERT_TRUE(logind.isReady()) << logind.error();
    ASSERT_TRUE(waitUntil([&] { return monitor.holdsInhibitor() && inhibitors(logind) == 1; }));
}

}  // namespace
}  // namespace tandril::test
