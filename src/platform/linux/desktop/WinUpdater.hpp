#pragma once

#include <QObject>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent/TDRUpdater.hpp"
#include "foundation/Error.hpp"
#include "foundation/RunLoop.hpp"
#include "platform/linux/desktop/WinAppcast.hpp"

class QMessageBox;

namespace tandril {

class Bundle;
class HTTPClient;
class TDRUserNotification;

// The update check: fetches the appcast over HTTPS, takes its newest item and compares that
// version with the bundle's installed "CFBundleVersion". Installing is the package manager's
// job, so nothing is downloaded: the user is told, and a click opens the release's page.
//   - a background check that finds a newer version shows one desktop notification (once
//     per version for the life of the process); otherwise it is silent. The agent runs for
//     days: a background check repeats every kBackgroundInterval seconds;
//   - a check the user asked for always ends in a small dialog: newer version, up to date,
//     or the check failed;
//   - a feed that cannot be fetched, is larger than kMaxFeedBytes, is not XML or has no
//     item with a version is logged ("[Updater] Update check failed: ...").
class WinUpdater : public QObject, public TDRUpdater {
    Q_OBJECT

public:
    struct Hooks {
        // Shows a desktop notification whose click runs `action`.
        std::function<void(const std::shared_ptr<TDRUserNotification>& notification, std::function<void()> action)>
            notify;
        // Opens a web page in the user's browser.
        std::function<void(const std::string& url)> openURL;
    };

    static constexpr std::size_t kMaxFeedBytes = 512 * 1024;
    static constexpr double kBackgroundInterval = 24 * 3600;

    // `bundle` is the installed bundle whose "CFBundleVersion" is compared.
    WinUpdater(std::shared_ptr<Bundle> bundle, Hooks hooks);
    ~WinUpdater() override;

    void setFeedURL(const std::string& url) override;
    void setDelegate(std::weak_ptr<TDRUpdaterDelegate> delegate) override { delegate_ = std::move(delegate); }
    void checkForUpdatesInBackground() override;
    void checkForUpdates(const void* sender) override;

    const std::string& feedURL() const { return feedURL_; }
    bool isChecking() const { return checking_; }
    // Whether an HTTP client (and its worker thread) is kept: only while a check runs.
    bool hasHTTPClient() const { return client_ != nullptr; }
    // The result dialog of the last check the user asked for, while it is open.
    QMessageBox* dialog() const { return dialog_; }

private:
    void check(bool userVisible);
    void finished(const std::optional<WinAppcast::Item>& newest, const std::string& failure);
    void showDialog(const std::string& text, const std::string& informativeText,
                    const std::optional<std::string>& pageURL);
    std::string installedVersion() const;
    // The page to open for `item`: only an http(s) address from the feed is opened.
    static std::optional<std::string> pageOf(const WinAppcast::Item& item);

    std::shared_ptr<Bundle> bundle_;
    Hooks hooks_;
    std::weak_ptr<TDRUpdaterDelegate> delegate_;
    std::string feedURL_;
    std::unique_ptr<HTTPClient> client_;
    bool checking_ = false;
    bool userVisible_ = false;
    std::optional<std::string> notifiedVersion_;
    std::optional<RunLoop::TimerId> nextBackgroundCheck_;
    QMessageBox* dialog_ = nullptr;
    // Tells the HTTP completion whether the updater still exists.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tandril
