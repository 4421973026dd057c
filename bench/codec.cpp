// Costs of the notification-service codec: Data Source decoding (through the engine and
// alone), the way from a
// Notification Source event to the delegate with zero simulated air time, and the burst
// of pre-existing notifications after a subscription.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

#include "engine/CodecBytes.hpp"
#include "engine/CNNotificationCodec.hpp"
#include "engine/PhoneLink.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"
#include "sim/SimNotificationProvider.hpp"

namespace tandril {
namespace {

// A virtual main loop, per-user folders in a temporary place, and silent logging.
class BenchWorld {
public:
    BenchWorld() {
        RunLoop::setMain(&loop);
        DispatchQueue::setFactory(
            [this](std::string label) { return DispatchQueue::createOnLoop(std::move(label), loop); });
        home = std::filesystem::temp_directory_path() / ("tandril-bench-codec-" + std::to_string(getpid()));
        std::filesystem::remove_all(home);
        Paths::setApplicationSupportDirectory((home / "Application Support").string());
        Paths::setConfigDirectory((home / "config").string());
        Paths::setDefaultsDirectory((home / "config" / "Tandril").string());
        Paths::setSyncWrites(false);
        UserDefaults::resetStandardUserDefaults();
        setLogSink([](const std::string&) {});
    }
    ~BenchWorld() {
        resetLogSink();
        DispatchQueue::setFactory(nullptr);
        RunLoop::setMain(nullptr);
        std::filesystem::remove_all(home);
    }
    // Forgets every application the catalogue has seen.
    void emptyCatalogue() {
        CNNotificationApplicationManager::setDefaultManager(nullptr);
        std::filesystem::remove_all(home / "Application Support");
    }

    VirtualRunLoop loop;
    std::filesystem::path home;
};

void BM_DataSourceDecode(benchmark::State& state) {
    BenchWorld world;
    test::PhoneLink link(world.loop);
    test::PhoneLink::catalogueKnows("com.example.chat", "Chat");
    const std::size_t payload = static_cast<std::size_t>(state.range(0));
    const Bytes answer = test::codec::notificationAnswer("2A 00 00 00", "com.example.chat", "Anna",
                                                         "Dinner", std::string(120, 'm'), "20260314T093015");
    const auto fragments = SimNotificationProvider::fragments(answer, payload);
    std::size_t count = 0;
    for (auto _ : state) {
        for (const auto& f : fragments) link.engine->handleDataSourceData(f);
        count += fragments.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(count));
    state.counters["fragments_per_answer"] = static_cast<double>(fragments.size());
}
BENCHMARK(BM_DataSourceDecode)->Arg(20)->Arg(182);

// The codec alone, without the engine, the BLE layer or the loop: one added event and its
// answer in fragments of the given size, to the finished record.
void BM_CodecAlone(benchmark::State& state) {
    setLogSink([](const std::string&) {});
    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier(std::string("com.example.chat"));
    application->setDisplayName(std::string("Chat"));
    application->setIcon(Image::create(1, 1, Bytes(4, 0xFF)));
    CNNotificationCodec codec([application](const std::string&) { return application; });
    const Bytes event = test::codec::bytes("00 00 04 01 2A 00 00 00");
    const Bytes answer = test::codec::notificationAnswer("2A 00 00 00", "com.example.chat", "Anna", "Dinner",
                                                         std::string(120, 'm'), "20260314T093015");
    const auto fragments = SimNotificationProvider::fragments(answer, static_cast<std::size_t>(state.range(0)));
    const TimePoint now{};
    std::size_t records = 0;
    for (auto _ : state) {
        codec.handleNotificationSourceData(event);
        for (const auto& f : fragments) records += codec.handleDataSourceData(f, now).added.size();
    }
    if (records != static_cast<std::size_t>(state.iterations())) state.SkipWithError("not decoded");
    state.SetItemsProcessed(state.iterations());
    resetLogSink();
}
BENCHMARK(BM_CodecAlone)->Arg(20)->Arg(182);

// One notification from the phone's event to the delegate, for an application the
// catalogue knows (name and icon) and for one it has never seen (one more round trip for
// its name, and a catalogue write).
void BM_EventToDelegate(benchmark::State& state) {
    const bool known = state.range(0) == 1;
    BenchWorld world;
    test::PhoneLink link(world.loop);
    test::PhoneLink::installDefaultIcons((world.home / "bundle").string(), {"com.example.new"});
    auto phone = link.scenario().app("com.example.chat", "Chat").app("com.example.new", "New").build();
    link.link(phone);
    const std::string app = known ? "com.example.chat" : "com.example.new";
    test::PhoneLink::catalogueKnows("com.example.chat", "Chat");
    for (auto _ : state) {
        state.PauseTiming();
        if (!known) {
            world.emptyCatalogue();
            CNNotificationApplicationManager::defaultManager();
        }
        const std::size_t before = link.delegate->added.size();
        state.ResumeTiming();
        const auto uid = phone->provider().addNotification(app, "Anna", "", "See you at 8");
        world.loop.runUntilIdle();
        state.PauseTiming();
        if (link.delegate->added.size() != before + 1) state.SkipWithError("not delivered");
        phone->provider().removeNotification(uid);
        world.loop.runUntilIdle();
        link.delegate->added.clear();
        link.delegate->removed.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventToDelegate)->Arg(1)->Arg(0)->ArgName("known");

// 100 pre-existing notifications of 20 applications the catalogue has never seen, from
// the subscription to the last delivery.
void BM_Burst100(benchmark::State& state) {
    BenchWorld world;
    std::vector<std::string> identifiers;
    for (int i = 0; i < 20; ++i) identifiers.push_back("com.example.app" + std::to_string(i));
    for (auto _ : state) {
        state.PauseTiming();
        world.emptyCatalogue();
        auto link = std::make_unique<test::PhoneLink>(world.loop);
        test::PhoneLink::installDefaultIcons((world.home / "bundle").string(), identifiers);
        auto scenario = link->scenario();
        for (const auto& id : identifiers) scenario.app(id, "Name of " + id);
        for (int i = 0; i < 100; ++i) {
            scenario.notification(identifiers[static_cast<std::size_t>(i % 20)], "Title", "", "Message");
        }
        auto phone = scenario.build();
        link->link(phone, false);
        state.ResumeTiming();
        link->subscribeNotificationSource();  // the phone announces the burst
        state.PauseTiming();
        if (link->delegate->added.size() != 100) state.SkipWithError("burst not delivered");
        link.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_Burst100)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tandril
