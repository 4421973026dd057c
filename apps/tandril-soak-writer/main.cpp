// The catalogue writer of scripts/soak, which kills it with SIGKILL at random moments.
//   tandril-soak-writer write DIR   rewrites DIR's catalogue until killed: adds one of
//                                   kApplications applications or flips its switch, and
//                                   saves, over and over.
//   tandril-soak-writer check DIR   exits 0 when DIR's catalogue is absent (killed before the
//                                   first write) or whole: it parses, loads, and every entry
//                                   is one the writer wrote. Prints the count loaded and the
//                                   temporary files left beside it.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "model/CNNotificationApplication.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/CataloguePaths.hpp"

namespace {

using namespace tandril;

constexpr int kApplications = 200;

std::string identifier(int i) { return "com.example.soak" + std::to_string(i); }

int write() {
    // Round robin over the applications from a random start: the first runs add them one
    // write at a time, later ones flip their switches. Every write replaces the whole file.
    auto catalogue = std::make_shared<CNNotificationApplicationManager>();
    std::mt19937 random(std::random_device{}());
    for (unsigned long round = random() % kApplications;; ++round) {
        const int i = static_cast<int>(round % kApplications);
        auto application = catalogue->applicationForBundleIdentifier(identifier(i));
        application->setDisplayName("Soak " + std::to_string(i));
        application->setEnabled(!application->isEnabled());
        catalogue->cacheApplication(application);
    }
}

int check() {
    const std::string path = CataloguePaths::applicationsPath();
    int leftovers = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(CataloguePaths::catalogueFolder(), error)) {
        const std::string name = entry.path().filename().string();
        // The atomic write's temporary files: ".<file name>.XXXXXX".
        if (name.rfind(".", 0) == 0) ++leftovers;
    }
    if (!Paths::fileExists(path)) {
        std::printf("absent leftovers=%d\n", leftovers);
        return 0;
    }
    ErrorPtr parseError;
    const auto root = PropertyList::readFile(path, &parseError);
    const Array* entries = root ? root->asArray() : nullptr;
    if (!entries || entries->empty()) {
        std::printf("damaged: %s\n", parseError ? parseError->localizedDescription().c_str() : "not a list");
        return 1;
    }
    CNNotificationApplicationManager catalogue;
    const auto& loaded = catalogue.cachedApplications();
    if (loaded.size() != entries->size()) {
        std::printf("damaged: %zu entries, %zu loaded\n", entries->size(), loaded.size());
        return 1;
    }
    for (const auto& application : loaded) {
        const auto& bundle = application->bundleIdentifier();
        if (!bundle || bundle->rfind("com.example.soak", 0) != 0 || !application->displayName()) {
            std::printf("damaged: unexpected entry\n");
            return 1;
        }
    }
    std::printf("whole count=%zu leftovers=%d\n", loaded.size(), leftovers);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: %s write|check DIR\n", argv[0]);
        return 2;
    }
    tandril::Paths::setApplicationSupportDirectory(argv[2]);
    return std::strcmp(argv[1], "write") == 0 ? write() : check();
}
