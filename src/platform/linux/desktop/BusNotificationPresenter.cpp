#include "platform/linux/desktop/BusNotificationPresenter.hpp"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QImage>

#include <cstdlib>

#include "agent/TDRUserNotification.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "http/Image.hpp"

namespace tandril {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

// Icons larger than this are scaled down before they go over the bus.
constexpr int kLargestImageSide = 256;

QDBusMessage serverCall(const QString& method) { return QDBusMessage::createMethodCall(kService, kPath, kInterface, method); }

std::string text(const QString& s) { return s.toStdString(); }

// A D-Bus string ends at U+0000 (QtDBus cuts the text there): a phone text carrying one
// would lose everything after it, so the character is left out.
QString busText(const std::string& s) {
    QString converted = QString::fromStdString(s);
    converted.remove(QChar(u'\0'));
    return converted;
}

// The image hint's value, (iiibiiay): width, height, rowstride, has alpha, bits per sample,
// channels, then the RGBA bytes row by row.
QVariant imageHintValue(const Image& image) {
    QImage pixels(image.pixels().data(), image.width(), image.height(), image.width() * 4, QImage::Format_RGBA8888);
    if (image.width() > kLargestImageSide || image.height() > kLargestImageSide) {
        pixels = pixels.scaled(kLargestImageSide, kLargestImageSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                     .convertToFormat(QImage::Format_RGBA8888);
    }
    const int width = pixels.width();
    const int height = pixels.height();
    QByteArray bytes;
    bytes.reserve(width * height * 4);
    for (int row = 0; row < height; ++row) {
        bytes.append(reinterpret_cast<const char*>(pixels.constScanLine(row)), width * 4);
    }
    QDBusArgument value;
    value.beginStructure();
    value << width << height << width * 4 << true << 8 << 4 << bytes;
    value.endStructure();
    return QVariant::fromValue(value);
}

}  // namespace

BusNotificationPresenter::BusNotificationPresenter(const QDBusConnection& connection, Options options)
    : connection_(connection), options_(std::move(options)) {
    connection_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                        SLOT(onActionInvoked(uint, QString)));
    connection_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                        SLOT(onNotificationClosed(uint, uint)));
    watcher_ = new QDBusServiceWatcher(kService, connection_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, &BusNotificationPresenter::onOwnerChanged);
    const auto owner = connection_.isConnected() ? connection_.interface()->serviceOwner(kService) : QDBusReply<QString>();
    queryServer(owner.isValid() ? owner.value() : QString());
}

BusNotificationPresenter::~BusNotificationPresenter() = default;

std::string BusNotificationPresenter::defaultStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string base = state && *state == '/' ? std::string(state)
                                                    : Paths::join(Paths::homeDirectory(), ".local/state");
    return Paths::join(base, "Tandril");
}

void BusNotificationPresenter::setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) {
    delegate_ = std::move(delegate);
}

QString BusNotificationPresenter::imageHintName(const QString& specVersion) {
    const QStringList parts = specVersion.split(QLatin1Char('.'));
    bool majorOk = false;
    bool minorOk = false;
    const int major = parts.value(0).toInt(&majorOk);
    const int minor = parts.size() > 1 ? parts.value(1).toInt(&minorOk) : 0;
    if (!majorOk || (parts.size() > 1 && !minorOk)) return QStringLiteral("image-data");
    if (major > 1 || (major == 1 && minor >= 2)) return QStringLiteral("image-data");
    if (major == 1 && minor == 1) return QStringLiteral("image_data");
    return QStringLiteral("icon_data");
}

QString BusNotificationPresenter::escapeMarkup(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('&')) escaped += QStringLiteral("&amp;");
        else if (c == QLatin1Char('<')) escaped += QStringLiteral("&lt;");
        else if (c == QLatin1Char('>')) escaped += QStringLiteral("&gt;");
        else escaped += c;
    }
    return escaped;
}

std::size_t BusNotificationPresenter::shownCount() const {
    std::size_t count = 0;
    for (const auto& entry : entries_) count += entry->id != 0 ? 1 : 0;
    return count;
}

void BusNotificationPresenter::queryServer(const QString& owner) {
    ++generation_;
    owner_ = owner;
    for (const auto& entry : entries_) entry->id = 0;  // ids belong to the server that gave them
    if (owner.isEmpty()) {
        state_ = State::Absent;
        log("[BusNotificationPresenter] No notification server on the session bus; notifications are shown once one "
            "starts.");
        return;
    }
    state_ = State::Querying;
    struct Answers {
        int pending = 2;
        bool failed = false;
        QString error;
        QStringList capabilities;
        QString specVersion;
    };
    auto answers = std::make_shared<Answers>();
    const std::uint64_t generation = generation_;
    auto finish = [this, answers, generation](QDBusPendingCallWatcher* call, bool capabilities) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            answers->failed = true;
            answers->error = reply.errorMessage();
        } else if (capabilities) {
            answers->capabilities = reply.arguments().value(0).toStringList();
        } else {
            answers->specVersion = reply.arguments().value(3).toString();
        }
        if (--answers->pending > 0 || generation != generation_) return;
        if (answers->failed) {
            // A server with a broken query still shows plain notifications: no markup, no
            // actions, the current image hint.
            log("[BusNotificationPresenter] The notification server did not answer its queries (%s); sending plain "
                "notifications.",
                text(answers->error));
        }
        serverAnswered(generation, answers->capabilities, answers->specVersion);
    };
    auto* caps = new QDBusPendingCallWatcher(connection_.asyncCall(serverCall(QStringLiteral("GetCapabilities"))), this);
    connect(caps, &QDBusPendingCallWatcher::finished, this, [finish](QDBusPendingCallWatcher* call) { finish(call, true); });
    auto* info =
        new QDBusPendingCallWatcher(connection_.asyncCall(serverCall(QStringLiteral("GetServerInformation"))), this);
    connect(info, &QDBusPendingCallWatcher::finished, this, [finish](QDBusPendingCallWatcher* call) { finish(call, false); });
}

void BusNotificationPresenter::serverAnswered(std::uint64_t generation, const QStringList& capabilities,
                                              const QString& specVersion) {
    if (generation != generation_) return;
    state_ = State::Ready;
    capabilities_ = capabilities;
    imageHint_ = imageHintName(specVersion);
    log("[BusNotificationPresenter] Notification server ready (protocol %s, capabilities: %s).", text(specVersion),
        text(capabilities.join(QLatin1Char(' '))));
    if (closePreviousRunPending_) closePreviousRun();
    const auto current = entries_;
    for (const auto& entry : current) {
        if (entry->id == 0 && !entry->sending) send(entry);
    }
}

void BusNotificationPresenter::onOwnerChanged(const QString&, const QString&, const QString& newOwner) {
    if (newOwner.isEmpty()) {
        ++generation_;
        owner_.clear();
        state_ = State::Absent;
        for (const auto& entry : entries_) entry->id = 0;
        log("[BusNotificationPresenter] The notification server left the session bus; notifications are shown again "
            "once one returns.");
        return;
    }
    log("[BusNotificationPresenter] A notification server appeared on the session bus.");
    queryServer(newOwner);
}

void BusNotificationPresenter::deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) {
    if (!notification) return;
    auto entry = std::make_shared<Entry>();
    entry->notification = notification;
    entries_.push_back(entry);
    if (state_ == State::Ready) send(entry);
}

void BusNotificationPresenter::send(const std::shared_ptr<Entry>& entry) {
    const TDRUserNotification& notification = *entry->notification;
    const bool markup = capabilities_.contains(QStringLiteral("body-markup"));
    QStringList lines;
    if (notification.subtitle() && !notification.subtitle()->empty()) lines << busText(*notification.subtitle());
    if (notification.informativeText()) lines << busText(*notification.informativeText());
    QString body = lines.join(QLatin1Char('\n'));
    if (markup) body = escapeMarkup(body);
    const QString summary =
        notification.title() ? busText(*notification.title()) : options_.applicationName;

    QStringList actions;
    if (capabilities_.contains(QStringLiteral("actions"))) actions << kDefaultAction << QStringLiteral("Open");
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), options_.desktopEntry);
    if (const auto& image = notification.identityImage()) hints.insert(imageHint_, imageHintValue(*image));

    QDBusMessage message = serverCall(QStringLiteral("Notify"));
    message << options_.applicationName << 0u << QString() << summary << body << actions << hints << -1;
    entry->sending = true;
    const std::uint64_t generation = generation_;
    auto* call = new QDBusPendingCallWatcher(connection_.asyncCall(message), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, entry, generation](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        entry->sending = false;
        const QDBusMessage reply = done->reply();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            log("[BusNotificationPresenter] Notify failed: %s", text(reply.errorMessage()));
            return;
        }
        const std::uint32_t id = reply.arguments().value(0).toUInt();
        if (generation != generation_) {
            // Sent to a server that has gone since; the current one gets it when it is ready.
            if (!entry->removed && state_ == State::Ready) send(entry);
            return;
        }
        if (entry->removed) {
            // Withdrawn while the server was still answering.
            close(id);
            return;
        }
        entry->id = id;
        saveState();
    });
}

void BusNotificationPresenter::close(std::uint32_t id) {
    if (id == 0 || state_ == State::Absent) return;
    QDBusMessage message = serverCall(QStringLiteral("CloseNotification"));
    message << id;
    connection_.call(message, QDBus::NoBlock);
}

void BusNotificationPresenter::removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if ((*it)->notification != notification) continue;
        const auto entry = *it;
        entries_.erase(it);
        entry->removed = true;
        if (entry->id != 0) {
            close(entry->id);
            saveState();
        }
        return;
    }
}

void BusNotificationPresenter::removeAllDeliveredNotifications() {
    const auto current = std::move(entries_);
    entries_.clear();
    bool hadIds = false;
    for (const auto& entry : current) {
        entry->removed = true;
        hadIds = hadIds || entry->id != 0;
        close(entry->id);
    }
    if (state_ == State::Ready) closePreviousRun();
    else closePreviousRunPending_ = true;
    if (hadIds) saveState();
}

void BusNotificationPresenter::closePreviousRun() {
    closePreviousRunPending_ = false;
    if (options_.stateFile.empty() || !Paths::fileExists(options_.stateFile)) return;
    const auto contents = Paths::readFile(options_.stateFile);
    const auto state = contents ? PropertyList::parse(Bytes(contents->begin(), contents->end())) : std::nullopt;
    const Dictionary* saved = state ? state->asDictionary() : nullptr;
    if (!saved) {
        log("[BusNotificationPresenter] Ignoring the unreadable state file %s", options_.stateFile);
    } else {
        const std::string* server = (*state)["server"].asString();
        const Array* ids = (*state)["ids"].asArray();
        // Another server (a new session, a restarted daemon) never showed them; its ids
        // may now be other programs' notifications.
        if (server && ids && *server == text(owner_)) {
            for (const Value& id : *ids) {
                const auto number = id.isInteger() ? id.asInteger() : std::nullopt;
                if (number && *number > 0 && *number <= 0xFFFFFFFFll) close(static_cast<std::uint32_t>(*number));
            }
        }
    }
    saveState();
}

void BusNotificationPresenter::saveState() {
    if (options_.stateFile.empty()) return;
    Array ids;
    for (const auto& entry : entries_) {
        if (entry->id != 0) ids.emplace_back(static_cast<std::int64_t>(entry->id));
    }
    const Value state(Dictionary{{"server", text(owner_)}, {"ids", std::move(ids)}});
    const auto bytes = PropertyList::serialize(state, PropertyList::Format::XML);
    const std::string folder = options_.stateFile.substr(0, options_.stateFile.find_last_of('/'));
    if (!bytes || !Paths::createDirectories(folder) ||
        !Paths::writeFileAtomically(options_.stateFile, std::string(bytes->begin(), bytes->end()))) {
        log("[BusNotificationPresenter] Could not write %s", options_.stateFile);
    }
}

std::shared_ptr<BusNotificationPresenter::Entry> BusNotificationPresenter::entryWithId(std::uint32_t id) const {
    if (id == 0) return nullptr;
    for (const auto& entry : entries_) {
        if (entry->id == id) return entry;
    }
    return nullptr;
}

void BusNotificationPresenter::onActionInvoked(uint id, const QString& action) {
    if (action != kDefaultAction) return;
    const auto entry = entryWithId(id);
    if (!entry) return;  // another program's notification
    if (const auto delegate = delegate_.lock()) delegate->userNotificationCenterDidActivateNotification(this, entry->notification);
}

void BusNotificationPresenter::onNotificationClosed(uint id, uint) {
    const auto entry = entryWithId(id);
    if (!entry) return;
    // Dismissed by the user or expired: no longer on display, and not shown again.
    entries_.erase(std::find(entries_.begin(), entries_.end(), entry));
    saveState();
}

}  // namespace tandril
