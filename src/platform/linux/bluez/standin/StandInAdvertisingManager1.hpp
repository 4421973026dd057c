#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusMessage>

#include <cstddef>
#include <optional>
#include <vector>

#include "foundation/UUID.hpp"

namespace tandril {

// org.bluez.LEAdvertisingManager1 on an adapter: the advertisements clients registered
// (advertising.c of bluetoothd 5.66). A registration goes through three steps, as there:
// RegisterAdvertisement is checked and taken (no answer yet), the client's
// org.bluez.LEAdvertisement1 properties are read (Properties.GetAll) and parsed, and the
// controller takes the data; only then does the call answer. Used on the main thread.
class StandInAdvertisingManager1 {
public:
    static constexpr const char* Interface = "org.bluez.LEAdvertisingManager1";
    // The legacy advertising PDU and the scan response each carry 31 bytes.
    static constexpr std::size_t MaxDataLength = 31;

    struct Advertisement {
        QString owner;  // the client's unique bus name
        QString path;
        QDBusMessage registration;  // answered once the radio took it
        bool parsed = false;
        bool registered = false;
        bool connectable = false;
        // What goes on the air: the name as the scan response carries it (cut to 29
        // bytes), the solicited and the advertised services.
        std::string localName;
        std::vector<UUID> solicitUUIDs;
        std::vector<UUID> serviceUUIDs;
        // The LEAdvertisement1 properties as read from the client.
        QVariantMap read;
    };

    explicit StandInAdvertisingManager1(std::size_t instances) : instances_(instances) {}

    // The manager's properties on the adapter object.
    QVariantMap properties() const;

    // Checks a RegisterAdvertisement call: an error reply (InvalidArguments, AlreadyExists,
    // NotPermitted "Maximum advertisements reached"), or no message and the advertisement
    // taken, waiting for its properties.
    std::optional<QDBusMessage> take(const QDBusMessage& call);
    // Parses what Properties.GetAll answered for a taken advertisement: false (and the
    // advertisement dropped) when bluetoothd would refuse it ("Failed to parse
    // advertisement.": a property of the wrong type, an unknown Type, data over 31 bytes).
    // With "local-name" in Includes the adapter's `alias` is the name.
    bool parse(Advertisement& advertisement, const QVariantMap& properties, const QString& alias);
    // Answers UnregisterAdvertisement: InvalidArguments, DoesNotExist, or a reply; the
    // removed advertisement's pending registration is answered as bluetoothd does.
    QDBusMessage withdraw(const QDBusMessage& call, std::vector<QDBusMessage>& alsoSend);

    Advertisement* find(const QString& owner, const QString& path);
    void remove(const QString& owner, const QString& path);
    // Drops a client's advertisements (it left the bus); their pending registrations get no answer.
    void forget(const QString& owner);
    void clear() { advertisements_.clear(); }
    std::vector<Advertisement>& advertisements() { return advertisements_; }
    // The most recent registered advertisement (what the radio sends), or none.
    const Advertisement* current() const;

    // The bytes the advertising PDU needs for these properties (flags, service and
    // solicitation lists, appearance, TX power).
    static std::size_t dataLength(const Advertisement& advertisement, const QStringList& includes, bool appearance);

private:
    const std::size_t instances_;
    std::vector<Advertisement> advertisements_;
};

}  // namespace tandril
