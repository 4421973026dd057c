#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.hpp"
#include "foundation/Object.hpp"
#include "http/HTTPClient.hpp"
#include "http/Image.hpp"
#include "model/CNNotificationApplication.hpp"

namespace tandril {

// The application catalogue: one shared record per phone application, kept in
// <Application Support>/Tandril/CachedApplications.dat (an XML property list, rewritten
// whole and atomically) with the icons as PNG files in <Application Support>/Tandril/CachedIcons
// (named by CataloguePaths::iconFileName). The settings application reads and rewrites the
// same file. Main thread only, apart from defaultManager().
class CNNotificationApplicationManager : public Object {
public:
    using IconCallback = std::function<void(std::shared_ptr<Image> icon, ErrorPtr error)>;

    // Where the app-store lookup service is: a user default of the agent's domain, holding
    // the base URL to which "/lookup" is added.
    static constexpr const char* kLookupDefaultsDomain = "com.Varn.Glimwick";
    static constexpr const char* kLookupBaseURLKey = "TDRLookupBaseURL";
    static constexpr const char* kDefaultLookupBaseURL = "https://itunes.apple.com";

    // How many unreadable catalogue files are kept beside the catalogue.
    static constexpr std::size_t kKeptDamagedCatalogues = 3;
    // A temporary file of the catalogue's or an icon's atomic write this much older than
    // now is the leftover of a write that was killed: loadData removes it. A younger one
    // may be the settings application's save in progress, and is left.
    static constexpr std::chrono::seconds kStaleTemporaryFileAge{600};

    // Lookup answers of the wrong shape.
    static constexpr const char* kLookupErrorDomain = "TDRLookupErrorDomain";
    enum LookupErrorCode : std::int64_t {
        MalformedLookupAnswer = 1,  // not a JSON object, or "results" not a list
        MissingArtworkURL = 2,      // the first result has no "artworkUrl60" text
        LookupCancelled = 3,        // the catalogue went away before the lookup answered
    };

    // init: an empty catalogue, then loadData().
    CNNotificationApplicationManager();
    ~CNNotificationApplicationManager() override;

    // The shared catalogue, created on first use (safe against concurrent first calls).
    static std::shared_ptr<CNNotificationApplicationManager> defaultManager();
    // Replaces the shared catalogue; nullptr makes the next defaultManager() create a new
    // one. For tests, and for programs that point the per-user folders elsewhere first.
    static void setDefaultManager(std::shared_ptr<CNNotificationApplicationManager> manager);

    // In display-name order after cacheApplication, in file order after loadData.
    const std::vector<std::shared_ptr<CNNotificationApplication>>& cachedApplications() const {
        return cachedApplications_;
    }

    // Replaces the catalogue with the file's content. A missing file gives an empty
    // catalogue; elements that are not dictionaries are skipped. A file that is there but
    // cannot be read or parsed, or whose root is not a list, also gives an empty catalogue,
    // but is first moved aside (CachedApplications.dat.damaged-<UTC time>, the newest
    // kKeptDamagedCatalogues kept) so that the next save does not destroy it. When it cannot
    // be moved, it stays in place and saves are refused until it can. Icons are not decoded
    // here: a record whose icon file is present decodes it when its icon is first asked for.
    // First removes what writes killed half-way left behind: temporary files of the
    // catalogue and of icons older than kStaleTemporaryFileAge, and nothing else
    // ("[CACHE] Removed the leftover of an unfinished write: %s" for each).
    void loadData();
    // Writes the catalogue file atomically; a failed write is logged with the system's
    // error text, and the catalogue goes on from memory. Records whose identifier or name
    // holds a NUL character cannot be stored and are left out.
    void saveData();
    // Ascending by display name: canonically equivalent names are equal (compared in NFD),
    // others by Unicode code points, case-sensitively, without locale. Records without a
    // display name come last. Equal names keep their order.
    void sortData();

    // The catalogue's record for the identifier, or a new enabled record (with the default
    // icon from the main bundle's resources, when there is one) that is not yet listed.
    std::shared_ptr<CNNotificationApplication> applicationForBundleIdentifier(const std::string& bundleIdentifier);
    // Lists the record in place of every record with its bundle identifier, writes its icon
    // file, sorts and saves.
    void cacheApplication(const std::shared_ptr<CNNotificationApplication>& application);

    // The catalogue file; creates the catalogue folder when nothing exists there.
    std::string applicationsPath();
    // The icon folder; creates it when nothing exists there.
    std::string iconsPath();

    // Looks the application up in the app-store lookup service and downloads its icon. The
    // callback runs exactly once, on the main loop: (icon, nullptr) after setting the
    // record's icon; (nullptr, nullptr) when the service knows no such application;
    // (nullptr, error) on failure.
    void downloadIconForApplication(std::shared_ptr<CNNotificationApplication> application, IconCallback callback);

    // The lookup base URL from the user defaults, or kDefaultLookupBaseURL.
    static std::string lookupBaseURL();

    // The HTTP client of the icon downloads (created on first use); tests may set their own.
    std::shared_ptr<HTTPClient> httpClient();
    void setHTTPClient(std::shared_ptr<HTTPClient> client) { httpClient_ = std::move(client); }


private:
    // Removes the stale temporary files of killed catalogue and icon writes (see loadData).
    void removeUnfinishedWrites();
    // Moves the unreadable catalogue file aside; false (and saves refused) when it cannot.
    bool setAsideUnreadableCatalogue(const std::string& path, const std::string& reason, bool logFailure);

    std::vector<std::shared_ptr<CNNotificationApplication>> cachedApplications_;
    // Why the catalogue file could not be read, while it could not be moved aside either:
    // it is still in place, and no save may replace it.
    std::optional<std::string> unreadableCatalogue_;
    std::shared_ptr<HTTPClient> httpClient_;
};

}  // namespace tandril
