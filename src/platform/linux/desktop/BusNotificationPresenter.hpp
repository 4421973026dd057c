#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/TDRUserNotificationCenter.hpp"

class QDBusServiceWatcher;

namespace tandril {

// The desktop's notification presenter over org.freedesktop.Notifications on the session bus.
//
// One delivered notification is one desktop notification: summary = the title (the phone
// application's name, or the notice's title), body = the subtitle line when there is one and
// the text, the phone application's icon as the image hint the server's protocol version
// names ("image-data" from 1.2, "image_data" in 1.1, "icon_data" before), and "desktop-entry"
// and the application name set so that the desktop groups them. Withdrawing closes it.
//
// The body is escaped (& < >) only when the server lists "body-markup"; the summary is plain
// text in the notifications protocol and is sent as it is. With "actions" the
// notification carries the "default" action, and invoking it reports the activation to the
// delegate; servers without actions just dismiss it on a click.
//
// No server, or one that goes away: logged, nothing is lost; the notifications still on
// display are shown (again) once a server owns the name. The ids this program got are kept
// in a state file with the server's unique bus name, so that the next run's
// removeAllDeliveredNotifications() closes them, but only on that same server (ids are
// per server; a new server may have given them to other programs).
class BusNotificationPresenter : public QObject, public TDRUserNotificationCenter {
    Q_OBJECT
public:
    struct Options {
        // The "app_name" argument.
        QString applicationName = QStringLiteral("Tandril");
        // The "desktop-entry" hint: the desktop file's name without ".desktop".
        QString desktopEntry = QStringLiteral("tandril");
        // Where the ids of delivered notifications are kept between runs; "" keeps none.
        std::string stateFile;
    };

    BusNotificationPresenter(const QDBusConnection& connection, Options options);
    ~BusNotificationPresenter() override;

    // $XDG_STATE_HOME/Tandril (default ~/.local/state/Tandril): the agent's state folder.
    static std::string defaultStateDirectory();

    void setDelegate(std::weak_ptr<TDRUserNotificationCenterDelegate> delegate) override;
    void deliverNotification(const std::shared_ptr<TDRUserNotification>& notification) override;
    void removeDeliveredNotification(const std::shared_ptr<TDRUserNotification>& notification) override;
    void removeAllDeliveredNotifications() override;

    // True once a server answered its capabilities and version.
    bool isServerReady() const { return state_ == State::Ready; }
    // How many delivered notifications are shown now (the server gave them an id).
    std::size_t shownCount() const;

    // The image hint's name for a server's protocol version ("1.2" -> "image-data").
    static QString imageHintName(const QString& specVersion);
    // `text` with &, < and > as entities.
    static QString escapeMarkup(const QString& text);

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);
    void onOwnerChanged(const QString& service, const QString& oldOwner, const QString& newOwner);

private:
    enum class State { Querying, Ready, Absent };
    struct Entry {
        std::shared_ptr<TDRUserNotification> notification;
        std::uint32_t id = 0;
        bool sending = false;
        bool removed = false;
    };

    void queryServer(const QString& owner);
    void serverAnswered(std::uint64_t generation, const QStringList& capabilities, const QString& specVersion);
    void send(const std::shared_ptr<Entry>& entry);
    void close(std::uint32_t id);
    void closePreviousRun();
    void saveState();
    std::shared_ptr<Entry> entryWithId(std::uint32_t id) const;

    QDBusConnection connection_;
    Options options_;
    std::weak_ptr<TDRUserNotificationCenterDelegate> delegate_;
    QDBusServiceWatcher* watcher_ = nullptr;
    State state_ = State::Querying;
    // Counts server changes: answers meant for an earlier server are ignored.
    std::uint64_t generation_ = 0;
    QString owner_;
    QStringList capabilities_;
    QString imageHint_;
    bool closePreviousRunPending_ = false;
    // Delivered and not withdrawn, oldest first.
    std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace tandril
