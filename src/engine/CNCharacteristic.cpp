#include "engine/CNCharacteristic.hpp"


#include "ble/platform/PlatformConstants.hpp"

namespace tandril {

namespace {

// The one place where the seven characteristics' UUIDs, properties and permissions are
// written down, as the serving side declares them: one row per CNCharacteristic::Kind, in
// its order.
struct Row {
    const char* uuid;
    std::uint32_t properties;
    std::uint32_t permissions;
};

constexpr Row kRows[] = {
    /* DeviceName */ {"1A955AF6-9D8C-44D9-AD3C-1DD1D6C556B9", CBCharacteristicPropertyRead,
        CBAttributePermissionsReadable},
    /* Provider */ {"81410E6A-5D95-447D-8850-A63EAEC37BB4", CBCharacteristicPropertyRead,
        CBAttributePermissionsReadEncryptionRequired},
    /* Consumer */ {"EB01BF93-19D5-4C63-A74B-E86BB29874A7", CBCharacteristicPropertyWrite,
        CBAttributePermissionsWriteEncryptionRequired},
    /* Connection */ {"876801F6-39D5-4C7B-BF0F-DA7508E98ACF", CBCharacteristicPropertyNotifyEncryptionRequired,
        CBAttributePermissionsReadEncryptionRequired},
    /* NotificationSource */ {"9FBF120D-6301-42D9-8C58-25E699A21DBD", CBCharacteristicPropertyNotifyEncryptionRequired,
        CBAttributePermissionsReadEncryptionRequired},
    /* ControlPoint */ {"69D1D8F3-45E1-49A8-9821-9BBDFDAAD9D9", CBCharacteristicPropertyWrite,
        CBAttributePermissionsWriteEncryptionRequired},
    /* DataSource */ {"22EAC6E9-24D6-4BB5-BE44-B36ACE7C7BFB", CBCharacteristicPropertyNotifyEncryptionRequired,
        CBAttributePermissionsReadEncryptionRequired},
};

const Row& rowOf(int kind) { return kRows[kind]; }

}  // namespace

std::optional<tandril::UUID> CNCharacteristic::characteristicUUID() {
    return std::nullopt;
}

std::shared_ptr<CNCharacteristic> CNCharacteristic::characteristic() {
    return nullptr;
}

tandril::UUID CNCharacteristic::uuidOf(Kind kind) {
    return tandril::UUID::fromStringOrNil(rowOf(static_cast<int>(kind)).uuid);
}

void CNCharacteristic::initialise(CNCharacteristic& characteristic, Kind kind) {
    const Row& row = rowOf(static_cast<int>(kind));
    characteristic.uuid_ = uuidOf(kind);
    characteristic.properties_ = row.properties;
    characteristic.value_.reset();
    characteristic.permissions_ = row.permissions;
}

}  // namespace tandril
