// The application catalogue with 1,000 applications and their 60x60 icons: loading the
// file (icons are decoded when first asked for), loading it and decoding every icon (what
// drawing every row costs), and caching one application (icon file, sort, whole-file rewrite).
#include <benchmark/benchmark.h>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/CataloguePaths.hpp"
#include "support/TempDir.hpp"

namespace {

using namespace tandril;

constexpr int kApplications = 1000;
constexpr int kIconSize = 60;

std::shared_ptr<Image> icon(int seed) {
    Bytes pixels;
    pixels.reserve(kIconSize * kIconSize * 4);
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            pixels.insert(pixels.end(), {static_cast<std::uint8_t>(x * 4 + seed), static_cast<std::uint8_t>(y * 4),
                                         static_cast<std::uint8_t>((x ^ y) + seed * 7), 255});
        }
    }
    return Image::create(kIconSize, kIconSize, std::move(pixels));
}

std::string bundleIdentifier(int i) { return "com.example.application" + std::to_string(i); }

// A data folder holding a catalogue of kApplications entries, each with its icon file.
class CatalogueFolder {
public:
    CatalogueFolder() {
        Paths::setApplicationSupportDirectory(dir_.path());
        Paths::createDirectories(CataloguePaths::iconsFolder());
        Array entries;
        for (int i = 0; i < kApplications; ++i) {
            entries.emplace_back(Dictionary{{"bundle_identifier", Value(bundleIdentifier(i))},
                                            {"display_name", Value("Application " + std::to_string(i))},
                                            {"enabled", Value(i % 3 == 0 ? "0" : "1")}});
            Paths::writeFileAtomically(*CataloguePaths::iconPath(bundleIdentifier(i)),
                                       stringFromBytes(*icon(i)->PNGRepresentation()), false);
        }
        PropertyList::writeFile(Value(std::move(entries)), CataloguePaths::applicationsPath());
    }
    ~CatalogueFolder() { Paths::setApplicationSupportDirectory(""); }

private:
    test::TempDir dir_;
};

void BM_LoadData(benchmark::State& state) {
    CatalogueFolder folder;
    CNNotificationApplicationManager catalogue;
    for (auto _ : state) {
        catalogue.loadData();
        benchmark::DoNotOptimize(catalogue.cachedApplications().data());
    }
    std::size_t iconBytes = 0;
    for (const auto& application : catalogue.cachedApplications()) {
        iconBytes += application->icon() ? application->icon()->pixels().size() : 0;
    }
    state.counters["applications"] = static_cast<double>(catalogue.cachedApplications().size());
    state.counters["icon_pixel_bytes"] = static_cast<double>(iconBytes);
    state.counters["file_bytes"] =
        static_cast<double>(Paths::readFile(CataloguePaths::applicationsPath()).value_or("").size());
}
BENCHMARK(BM_LoadData)->Unit(benchmark::kMillisecond);

void BM_LoadDataAndDecodeIcons(benchmark::State& state) {
    CatalogueFolder folder;
    CNNotificationApplicationManager catalogue;
    for (auto _ : state) {
        catalogue.loadData();
        for (const auto& application : catalogue.cachedApplications()) {
            benchmark::DoNotOptimize(application->icon().get());
        }
    }
}
BENCHMARK(BM_LoadDataAndDecodeIcons)->Unit(benchmark::kMillisecond);

void BM_CacheApplication(benchmark::State& state) {
    const bool withIcon = state.range(0) != 0;
    CatalogueFolder folder;
    CNNotificationApplicationManager catalogue;
    auto application = catalogue.applicationForBundleIdentifier(bundleIdentifier(kApplications / 2));
    application->setIcon(withIcon ? icon(1) : nullptr);
    for (auto _ : state) {
        catalogue.cacheApplication(application);
    }
    state.counters["applications"] = static_cast<double>(catalogue.cachedApplications().size());
}
BENCHMARK(BM_CacheApplication)->Arg(1)->Arg(0)->ArgName("icon")->Unit(benchmark::kMillisecond);

void BM_SortData(benchmark::State& state) {
    CatalogueFolder folder;
    CNNotificationApplicationManager catalogue;
    for (auto _ : state) {
        catalogue.sortData();
    }
}
BENCHMARK(BM_SortData)->Unit(benchmark::kMicrosecond);

}  // namespace
