#include "platform/linux/desktop/WinUpdater.hpp"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "agent/TDRUserNotification.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"
#include "http/HTTPClient.hpp"

namespace tandril {

namespace {

QString qs(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string shown(const WinAppcast::Item& item) {
    return item.shortVersion && !item.shortVersion->empty() ? *item.shortVersion : item.version;
}

}  // namespace

WinUpdater::WinUpdater(std::shared_ptr<Bundle> bundle, Hooks hooks)
    : bundle_(std::move(bundle)), hooks_(std::move(hooks)) {}

WinUpdater::~WinUpdater() {
    *alive_ = false;
    if (nextBackgroundCheck_ && RunLoop::hasMain()) RunLoop::main().cancel(*nextBackgroundCheck_);
    client_.reset();
    delete dialog_;
}

void WinUpdater::setFeedURL(const std::string& url) { feedURL_ = url; }

void WinUpdater::checkForUpdatesInBackground() {
    if (nextBackgroundCheck_) RunLoop::main().cancel(*nextBackgroundCheck_);
    const std::weak_ptr<bool> alive = alive_;
    nextBackgroundCheck_ = RunLoop::main().schedule(seconds(kBackgroundInterval), [this, alive] {
        if (!alive.lock()) return;
        nextBackgroundCheck_.reset();
        checkForUpdatesInBackground();
    });
    check(false);
}

void WinUpdater::checkForUpdates(const void* /*sender*/) { check(true); }

std::string WinUpdater::installedVersion() const {
    auto bundle = bundle_ ? bundle_ : Bundle::mainBundle();
    if (!bundle) return "";
    // The value is held here: the text points into it.
    const Value value = bundle->objectForInfoDictionaryKey("CFBundleVersion");
    const auto* version = value.asString();
    return version ? *version : "";
}

std::optional<std::string> WinUpdater::pageOf(const WinAppcast::Item& item) {
    if (!item.pageURL) return std::nullopt;
    const auto& url = *item.pageURL;
    if (url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0) return url;
    return std::nullopt;
}

void WinUpdater::check(bool userVisible) {
    // A check the user asks for while a quiet one runs makes that one speak.
    userVisible_ = userVisible_ || userVisible;
    if (checking_) return;
    if (feedURL_.empty()) {
        finished(std::nullopt, "no feed address");
        return;
    }
    checking_ = true;
    if (!client_) client_ = std::make_unique<HTTPClient>();
    HTTPRequest request;
    request.url = feedURL_;
    request.maxBodyBytes = kMaxFeedBytes;
    const std::weak_ptr<bool> alive = alive_;
    client_->get(std::move(request), [this, alive](std::optional<HTTPResponse> response, ErrorPtr error) {
        if (!alive.lock()) return;
        if (!response) {
            finished(std::nullopt, error ? error->localizedDescription() : "no answer");
            return;
        }
        std::string failure;
        const auto appcast = WinAppcast::parse(response->body, &failure);
        if (!appcast) {
            finished(std::nullopt, failure);
            return;
        }
        const auto* newest = appcast->newestItem();
        if (!newest) {
            finished(std::nullopt, "the feed lists no version");
            return;
        }
        finished(*newest, "");
    });
}

void WinUpdater::finished(const std::optional<WinAppcast::Item>& newest, const std::string& failure) {
    checking_ = false;
    // The client's worker thread wakes up every second while it lives: between checks, which
    // are hours apart, the agent keeps none. Released after this turn, outside its completion.
    if (client_) {
        const std::weak_ptr<bool> alive = alive_;
        RunLoop::main().post([this, alive] {
            if (alive.lock() && !checking_) client_.reset();
        });
    }
    const bool userVisible = userVisible_;
    userVisible_ = false;
    const auto installed = installedVersion();

    if (!newest) {
        log("[Updater] Update check failed: %s", failure);
        if (userVisible) showDialog("The update check failed.", failure, std::nullopt);
        return;
    }
    if (WinAppcast::compareVersions(newest->version, installed) <= 0) {
        log("[Updater] Tandril is up to date (installed %s, newest %s).", installed, newest->version);
        if (userVisible) {
            showDialog("Tandril is up to date.", "Version " + installed + " is the newest version.", std::nullopt);
        }
        return;
    }

    log("[Updater] Tandril %s is available (installed %s).", newest->version, installed);
    const auto page = pageOf(*newest);
    const auto version = shown(*newest);
    if (userVisible) {
        showDialog("Tandril " + version + " is available.",
                   "You have version " + installed + ". Your package manager installs the new version.", page);
        return;
    }
    // One notice per version: a later quiet check does not repeat it.
    if (notifiedVersion_ == newest->version || !hooks_.notify) return;
    notifiedVersion_ = newest->version;
    auto notification = std::make_shared<TDRUserNotification>();
    notification->setTitle("Tandril " + version + " is available");
    notification->setInformativeText(page ? "Click to see what is new; your package manager installs it."
                                          : "Your package manager installs it.");
    const auto openURL = hooks_.openURL;
    hooks_.notify(notification, [openURL, page] {
        if (openURL && page) openURL(*page);
    });
}

void WinUpdater::showDialog(const std::string& text, const std::string& informativeText,
                            const std::optional<std::string>& pageURL) {
    delete dialog_;
    auto* dialog = new QMessageBox;
    dialog_ = dialog;
    dialog->setObjectName("updateDialog");
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
    dialog->setWindowTitle("Tandril: Software Update");
    dialog->setIcon(QMessageBox::Information);
    dialog->setTextFormat(Qt::PlainText);
    dialog->setText(qs(text));
    dialog->setInformativeText(qs(informativeText));
    QPushButton* open = nullptr;
    if (pageURL) open = dialog->addButton("Open Release Page", QMessageBox::AcceptRole);
    dialog->addButton(QMessageBox::Close);
    // The texts come partly from the feed: no label interprets markup.
    for (auto* label : dialog->findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
    const auto openURL = hooks_.openURL;
    connect(dialog, &QMessageBox::buttonClicked, this, [openURL, pageURL, open](QAbstractButton* button) {
        if (open && button == open && openURL && pageURL) openURL(*pageURL);
    });
    connect(dialog, &QDialog::finished, this, [this, dialog](int) {
        if (dialog_ != dialog) return;
        dialog_ = nullptr;
        dialog->deleteLater();
    });
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

}  // namespace tandril
