#include "tandril-simulator/TDRSimulatorBundle.hpp"

#include <cstdlib>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "http/Image.hpp"

namespace tandril {

namespace {

constexpr int kIconSize = 60;

// A rounded square in the application's colour with a white bar, as a small icon.
Bytes iconPixels(const TDRSimulatorBundle::Application& app) {
    Bytes rgba(static_cast<std::size_t>(kIconSize * kIconSize * 4), 0);
    constexpr int radius = 12;
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            const int dx = x < radius ? radius - x : (x >= kIconSize - radius ? x - (kIconSize - radius - 1) : 0);
            const int dy = y < radius ? radius - y : (y >= kIconSize - radius ? y - (kIconSize - radius - 1) : 0);
            if (dx * dx + dy * dy > radius * radius) continue;  // outside the rounded corner
            const bool bar = y >= 26 && y < 34 && x >= 14 && x < 46;
            auto* p = &rgba[static_cast<std::size_t>((y * kIconSize + x) * 4)];
            p[0] = bar ? 255 : app.red;
            p[1] = bar ? 255 : app.green;
            p[2] = bar ? 255 : app.blue;
            p[3] = 255;
        }
    }
    return rgba;
}

}  // namespace

const std::vector<TDRSimulatorBundle::Application>& TDRSimulatorBundle::applications() {
    static const std::vector<Application> apps{
        {"com.apple.MobileSMS", "Messages", 52, 199, 89},
        {"com.apple.mobilemail", "Mail", 10, 132, 255},
        {"com.apple.mobilecal", "Calendar", 255, 59, 48},
        {"net.whatsapp.WhatsApp", "WhatsApp", 37, 211, 102},
        {"com.burbn.instagram", "Instagram", 193, 53, 132},
    };
    return apps;
}

bool TDRSimulatorBundle::write(const std::string& path, const std::string& version) {
    const auto contents = Paths::join(path, "Contents");
    const auto resources = Paths::join(contents, "Resources");
    if (!Paths::createDirectories(resources)) return false;
    const Dictionary info{{"CFBundleIdentifier", "com.Varn.Glimwick"},
                          {"CFBundleName", "Tandril"},
                          {"CFBundleExecutable", "tandril-simulator"},
                          {"CFBundleVersion", Value(version)},
                          {"CFBundleShortVersionString", Value(version)}};
    bool ok = PropertyList::writeFile(Value(info), Paths::join(contents, "Info.plist"));
    for (const auto& app : applications()) {
        const auto image = Image::create(kIconSize, kIconSize, iconPixels(app));
        const auto png = image ? image->PNGRepresentation() : std::nullopt;
        ok = png && Paths::writeFileAtomically(Paths::join(resources, std::string(app.bundleIdentifier) + ".png"),
                                               std::string(png->begin(), png->end())) &&
             ok;
    }
    return ok;
}

}  // namespace tandril
