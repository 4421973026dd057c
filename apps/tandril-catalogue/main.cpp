// Prints the application catalogue of the current user: one line per phone application
// with its bundle identifier, display name, enabled switch and icon size.
#include <cstdio>
#include <string>

#include "model/CNNotificationApplicationManager.hpp"
#include "shared/CataloguePaths.hpp"

int main() {
    using namespace tandril;
    const auto catalogue = CNNotificationApplicationManager::defaultManager();
    const std::string file = CataloguePaths::applicationsPath();
    const auto& applications = catalogue->cachedApplications();
    std::printf("Catalogue %s: %zu application%s\n", file.c_str(), applications.size(),
                applications.size() == 1 ? "" : "s");
    for (const auto& application : applications) {
        const std::string icon = application->icon() ? std::to_string(application->icon()->width()) + "x" +
                                                           std::to_string(application->icon()->height())
                                                     : "no icon";
        std::printf("%s\t%s\t%s\t%s\n", application->bundleIdentifier().value_or("(no identifier)").c_str(),
                    application->displayName().value_or("(no name)").c_str(),
                    application->isEnabled() ? "enabled" : "disabled", icon.c_str());
    }
    return 0;
}
