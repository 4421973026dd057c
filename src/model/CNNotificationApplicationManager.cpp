#include "model/CNNotificationApplicationManager.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <utf8proc.h>

#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "http/URLPolicy.hpp"
#include "shared/CatalogueFlag.hpp"
#include "shared/CatalogueKeys.hpp"
#include "shared/CataloguePaths.hpp"

namespace tandril {

namespace {

std::mutex sharedMutex;
std::shared_ptr<CNNotificationApplicationManager> sharedManager;

// The text's canonical decomposition (NFD), so that canonically equivalent names compare
// equal and the rest compare by code point (UTF-8 byte order is code-point order). Text
// that is not valid UTF-8 is compared as it stands.
std::string canonicalSortKey(const std::string& text) {
    utf8proc_uint8_t* decomposed = nullptr;
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                     &decomposed, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    if (length < 0 || decomposed == nullptr) {
        std::free(decomposed);
        return text;
    }
    std::string key(reinterpret_cast<const char*>(decomposed), static_cast<std::size_t>(length));
    std::free(decomposed);
    return key;
}

const std::string* stringValue(const Dictionary& entry, const char* key) {
    const auto found = entry.find(key);
    return found == entry.end() ? nullptr : found->second.asString();
}

bool holdsNul(const std::optional<std::string>& text) {
    return text && text->find('\0') != std::string::npos;
}

// A name that Bundle::pathForResource can take as a single file name.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 250 &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Copies `from` to `to` unless something exists at `to`. The copy appears whole or not at
// all: it is written aside and then linked into place, which fails when `to` exists. The
// file aside is named as Paths::writeFileAtomically names its temporary files, so that a
// copy killed half-way is cleaned up as theirs are.
void copyFileIfAbsent(const std::string& from, const std::string& to) {
    if (Paths::fileExists(to)) {
        return;
    }
    const std::optional<std::string> contents = Paths::readFile(from);
    if (!contents) {
        return;
    }
    const std::size_t slash = to.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string aside = to.substr(0, nameStart) + "." + to.substr(nameStart) + ".XXXXXX";
    const int fd = mkstemp(aside.data());
    if (fd < 0) {
        return;
    }
    const char* data = contents->data();
    std::size_t left = contents->size();
    bool written = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n <= 0) {
            written = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    written = written && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (written) {
        (void)::link(aside.c_str(), to.c_str());
    }
    ::unlink(aside.c_str());
}

// PropertyList::readFile's code for a file that is not there.
constexpr std::int64_t kFileNoSuchFileCode = 260;

ErrorPtr lookupError(CNNotificationApplicationManager::LookupErrorCode code, const std::string& description) {
    return Error::withDescription(CNNotificationApplicationManager::kLookupErrorDomain, code, description);
}

}  // namespace

CNNotificationApplicationManager::CNNotificationApplicationManager() {
    loadData();
}

CNNotificationApplicationManager::~CNNotificationApplicationManager() = default;

std::shared_ptr<CNNotificationApplicationManager> CNNotificationApplicationManager::defaultManager() {
    std::lock_guard lock(sharedMutex);
    if (!sharedManager) {
        sharedManager = std::make_shared<CNNotificationApplicationManager>();
    }
    return sharedManager;
}

void CNNotificationApplicationManager::setDefaultManager(std::shared_ptr<CNNotificationApplicationManager> manager) {
    std::shared_ptr<CNNotificationApplicationManager> previous;
    {
        std::lock_guard lock(sharedMutex);
        previous = std::exchange(sharedManager, std::move(manager));
    }
    // `previous` goes away here, outside the lock.
}

std::string CNNotificationApplicationManager::applicationsPath() {
    Paths::createDirectories(CataloguePaths::catalogueFolder());
    return CataloguePaths::applicationsPath();
}

std::string CNNotificationApplicationManager::iconsPath() {
    const std::string folder = CataloguePaths::iconsFolder();
    Paths::createDirectories(folder);
    return folder;
}

bool CNNotificationApplicationManager::setAsideUnreadableCatalogue(const std::string& path, const std::string& reason,
                                                                   bool logFailure) {
    int number = 0;
    if (const auto aside = Paths::moveAside(path, "damaged", kKeptDamagedCatalogues, &number)) {
        log("[CACHE] Unreadable catalogue moved aside to %s (%s)", *aside, reason);
        unreadableCatalogue_.reset();
        return true;
    }
    if (number == ENOENT) {  // gone meanwhile: nothing left to protect
        unreadableCatalogue_.reset();
        return true;
    }
    if (logFailure) {
        log("[CACHE] Unreadable catalogue could not be moved aside (%s) and is left in place, unsaved: %s",
            Paths::errorText(number), reason);
    }
    unreadableCatalogue_ = reason;
    return false;
}

void CNNotificationApplicationManager::removeUnfinishedWrites() {
    // Only the temporary files of our own atomic writes: of the catalogue file in its
    // folder (which holds other programs' files too), and of icon files in theirs (an
    // icon's name never starts with "." and always ends in ".png").
    const std::string cataloguePath = CataloguePaths::applicationsPath();
    const std::string catalogueName = cataloguePath.substr(cataloguePath.rfind('/') + 1);
    std::vector<std::string> removed = Paths::removeStaleTemporaryFiles(
        CataloguePaths::catalogueFolder(), [&](std::string_view target) { return target == catalogueName; },
        kStaleTemporaryFileAge);
    const std::vector<std::string> icons = Paths::removeStaleTemporaryFiles(
        CataloguePaths::iconsFolder(),
        [](std::string_view target) { return target.front() != '.' && target.size() > 4 && target.ends_with(".png"); },
        kStaleTemporaryFileAge);
    removed.insert(removed.end(), icons.begin(), icons.end());
    for (const std::string& file : removed) log("[CACHE] Removed the leftover of an unfinished write: %s", file);
}

void CNNotificationApplicationManager::loadData() {
    cachedApplications_.clear();
    unreadableCatalogue_.reset();
    removeUnfinishedWrites();
    const std::string path = applicationsPath();
    ErrorPtr error;
    const std::optional<Value> root = PropertyList::readFile(path, &error);
    const Array* entries = root ? root->asArray() : nullptr;
    if (entries == nullptr) {
        // Read as empty, as a missing file is; but what is there may hold every switch the
        // user set, so it is kept rather than overwritten by the next save.
        if (root) {
            setAsideUnreadableCatalogue(path, "its root is not a list", true);
        } else if (error && error->code() != kFileNoSuchFileCode) {
            setAsideUnreadableCatalogue(path, error->localizedDescription(), true);
        }
        return;
    }
    // One listing of the icon folder instead of a look-up per record: at start-up the
    // catalogue may list a thousand applications.
    const std::string icons = iconsPath();
    const std::vector<std::string> listed = Paths::contentsOfDirectory(icons);
    const std::unordered_set<std::string> iconFiles(listed.begin(), listed.end());
    for (const Value& element : *entries) {
        const Dictionary* entry = element.asDictionary();
        if (entry == nullptr) {
            continue;
        }
        auto application = std::make_shared<CNNotificationApplication>();
        if (const std::string* bundleIdentifier = stringValue(*entry, kCatalogueBundleIdentifierKey)) {
            application->setBundleIdentifier(*bundleIdentifier);
        }
        if (const std::string* displayName = stringValue(*entry, kCatalogueDisplayNameKey)) {
            application->setDisplayName(*displayName);
        }
        const auto enabled = entry->find(kCatalogueEnabledKey);
        application->setEnabled(enabled != entry->end() && CatalogueFlag::read(enabled->second));
        if (application->bundleIdentifier()) {
            if (const auto name = CataloguePaths::iconFileName(*application->bundleIdentifier())) {
                // Only looked for here; decoded when first needed (see icon()). Something
                // there that is no image gives no icon then, as it did when read at once.
                if (iconFiles.count(*name) != 0) {
                    application->setIconFile(Paths::join(icons, *name));
                }
            }
        }
        cachedApplications_.push_back(std::move(application));
    }
}

void CNNotificationApplicationManager::saveData() {
    Array entries;
    entries.reserve(cachedApplications_.size());
    for (const auto& application : cachedApplications_) {
        // A property list cannot hold a NUL inside a text; a record with one (only a phone
        // that misbehaves sends it) stays in memory and is left out of the file.
        if (holdsNul(application->bundleIdentifier()) || holdsNul(application->displayName())) {
            continue;
        }
        entries.emplace_back(application->dictionaryRepresentation());
    }
    const std::string path = applicationsPath();
    // Each save tries the move again (the folder may be writable by now); a failure was
    // logged when the file was found, so only the refusal is.
    if (unreadableCatalogue_ && !setAsideUnreadableCatalogue(path, *unreadableCatalogue_, false)) {
        log("[CACHE] Catalogue not saved: %s could not be read and is kept as it is", path);
        return;
    }
    ErrorPtr error;
    if (!PropertyList::writeFile(Value(std::move(entries)), path, PropertyList::Format::XML, &error)) {
        log("[CACHE] Catalogue not saved: %s", error ? error->localizedDescription() : std::string());
    }
}

void CNNotificationApplicationManager::sortData() {
    struct Keyed {
        std::optional<std::string> key;
        std::shared_ptr<CNNotificationApplication> application;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(cachedApplications_.size());
    for (auto& application : cachedApplications_) {
        std::optional<std::string> key;
        if (application->displayName()) {
            key = canonicalSortKey(*application->displayName());
        }
        keyed.push_back({std::move(key), std::move(application)});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.key && b.key) {
            return *a.key < *b.key;
        }
        return a.key.has_value() && !b.key.has_value();
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        cachedApplications_[i] = std::move(keyed[i].application);
    }
}

std::shared_ptr<CNNotificationApplication> CNNotificationApplicationManager::applicationForBundleIdentifier(
    const std::string& bundleIdentifier) {
    for (const auto& application : cachedApplications_) {
        if (application->bundleIdentifier() == bundleIdentifier) {
            log("[CACHE] Existing application found.");
            return application;
        }
    }
    log("[CACHE] No existing application found, creating new one.");
    auto application = std::make_shared<CNNotificationApplication>();
    application->setBundleIdentifier(bundleIdentifier);
    application->setEnabled(true);

    const std::shared_ptr<Bundle> bundle = Bundle::mainBundle();
    if (bundle && isPlainFileName(bundleIdentifier)) {
        if (const std::optional<std::string> resource = bundle->pathForResource(bundleIdentifier, "png")) {
            if (const auto name = CataloguePaths::iconFileName(bundleIdentifier)) {
                copyFileIfAbsent(*resource, Paths::join(iconsPath(), *name));
            }
            application->setIcon(Image::imageWithContentsOfFile(*resource));
        }
    }
    return application;
}

void CNNotificationApplicationManager::cacheApplication(const std::shared_ptr<CNNotificationApplication>& given) {
    // Held here: `given` may refer to a listed record, which the erase below drops.
    const std::shared_ptr<CNNotificationApplication> application = given;
    if (!application) {
        return;
    }
    const std::optional<std::string>& bundleIdentifier = application->bundleIdentifier();
    // Every listed record of this application goes, not only the first: a file edited by
    // hand may list one identifier twice, and the catalogue keeps one record per identifier.
    std::erase_if(cachedApplications_, [&](const std::shared_ptr<CNNotificationApplication>& listed) {
        return listed == application || (bundleIdentifier && listed->bundleIdentifier() == bundleIdentifier);
    });
    if (application->icon() && bundleIdentifier) {
        if (const auto name = CataloguePaths::iconFileName(*bundleIdentifier)) {
            if (const std::optional<Bytes> png = application->icon()->PNGRepresentation()) {
                const std::string iconFile = Paths::join(iconsPath(), *name);
                int number = 0;
                if (!Paths::writeFileAtomically(iconFile, stringFromBytes(*png), Paths::syncWrites(), &number)) {
                    log("[CACHE] Icon not saved to %s: %s", iconFile, Paths::errorText(number));
                }
            }
        }
    }
    cachedApplications_.push_back(application);
    sortData();
    saveData();
}

std::string CNNotificationApplicationManager::lookupBaseURL() {
    UserDefaults defaults(kLookupDefaultsDomain);
    std::string base = defaults.stringForKey(kLookupBaseURLKey).value_or(kDefaultLookupBaseURL);
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base;
}

std::shared_ptr<HTTPClient> CNNotificationApplicationManager::httpClient() {
    if (!httpClient_) {
        httpClient_ = std::make_shared<HTTPClient>();
    }
    return httpClient_;
}

void CNNotificationApplicationManager::downloadIconForApplication(std::shared_ptr<CNNotificationApplication> application,
                                                                  IconCallback callback) {
    const std::string lookupURL = lookupBaseURL() + "/lookup";
    std::string bundleIdentifier;
    if (application && application->bundleIdentifier()) {
        bundleIdentifier = *application->bundleIdentifier();
    }
    // An artwork link may point at a local address only when the lookup service is local too.
    const bool lookupIsLocal = URLPolicy::check(lookupURL, true).loopback;
    std::weak_ptr<HTTPClient> weakClient = httpClient();

    auto finish = [callback = std::move(callback)](std::shared_ptr<Image> icon, ErrorPtr error) {
        if (callback) {
            callback(std::move(icon), std::move(error));
        }
    };
    auto searchFailed = [finish](const ErrorPtr& error) {
        log("[ITUNES] Search error: %@", error);
        finish(nullptr, error);
    };
    auto imageFailed = [finish](const ErrorPtr& error) {
        log("[ITUNES] Image error: %@", error);
        finish(nullptr, error);
    };

    httpClient()->getJSON(
        lookupURL, {{"bundleId", bundleIdentifier}},
        [application, finish, searchFailed, imageFailed, weakClient, lookupIsLocal](std::optional<nlohmann::json> answer,
                                                                                   ErrorPtr error) {
            if (error || !answer) {
                searchFailed(error);
                return;
            }
            if (!answer->is_object()) {
                searchFailed(lookupError(MalformedLookupAnswer, "The lookup answer is not a JSON object."));
                return;
            }
            const auto results = answer->find("results");
            if (results == answer->end() || results->is_null() || (results->is_array() && results->empty())) {
                log("[ITUNES] No icon found...");
                finish(nullptr, nullptr);
                return;
            }
            if (!results->is_array()) {
                searchFailed(lookupError(MalformedLookupAnswer, "The lookup answer's \"results\" is not a list."));
                return;
            }
            const nlohmann::json& first = results->front();
            const auto artwork = first.is_object() ? first.find("artworkUrl60") : first.end();
            if (!first.is_object() || artwork == first.end() || !artwork->is_string()) {
                imageFailed(lookupError(MissingArtworkURL, "The lookup answer has no \"artworkUrl60\" address."));
                return;
            }
            const std::shared_ptr<HTTPClient> client = weakClient.lock();
            if (!client) {
                imageFailed(lookupError(LookupCancelled, "The icon download was cancelled."));
                return;
            }
            client->getImage(artwork->get<std::string>(), lookupIsLocal,
                             [application, finish, imageFailed](std::shared_ptr<Image> icon, ErrorPtr imageError) {
                                 if (!icon) {
                                     imageFailed(imageError);
                                     return;
                                 }
                                 if (application) {
                                     application->setIcon(icon);
                                 }
                                 finish(icon, nullptr);
                             });
        });
}

}  // namespace tandril
