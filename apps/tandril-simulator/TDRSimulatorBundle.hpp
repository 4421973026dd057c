#pragma once

#include <string>
#include <vector>

namespace tandril {

// The agent bundle that the simulator runs from: Contents/Info.plist and, in
// Contents/Resources, a default icon "<bundle identifier>.png" for each familiar phone
// application, which the catalogue takes before asking the app store.
class TDRSimulatorBundle {
public:
    struct Application {
        const char* bundleIdentifier;
        const char* displayName;
        // The icon's colour.
        unsigned char red, green, blue;
    };

    // The phone applications the simulated phone runs.
    static const std::vector<Application>& applications();
    // Writes (or rewrites) the bundle at `path`. False when a file cannot be written.
    static bool write(const std::string& path, const std::string& version);
};

}  // namespace tandril
