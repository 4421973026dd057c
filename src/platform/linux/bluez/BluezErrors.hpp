#pragma once

#include <string>

#include "foundation/Error.hpp"

namespace tandril {

// Maps BlueZ's D-Bus error answers (org.bluez.Error.* and org.freedesktop.DBus.Error.*) to
// the contract's ATT and central errors. The original D-Bus name and message stay in the
// user info under BluezErrorNameKey and BluezErrorMessageKey. Nothing unknown becomes
// success: an error name that is not in the table gives CBErrorDomain 0.
class BluezErrors {
public:
    // What the adapter does with an error answer to a GATT call.
    enum class Disposition {
        Report,   // deliver the mapped error with the operation's event
        Retry,    // a collision (InProgress): send the call again later
        LinkGone, // the link is down: the disconnect event speaks for it
    };

    // The error of a GATT call (read, write, notify). `linkUp` tells whether the device's
    // link is still up, which decides what "Not connected" and UnknownObject mean.
    static ErrorPtr gattError(const std::string& name, const std::string& message);
    static Disposition gattDisposition(const std::string& name, const std::string& message, bool linkUp);

    // The error of a failed Device1.Connect, reported as a failure to connect (central 10,
    // or 6 when the call timed out).
    static ErrorPtr connectError(const std::string& name, const std::string& message);
    // Connect failures that BlueZ 5.66 gives for every LE failure (the link was aborted
    // locally): worth another attempt while the request stands.
    static bool isRetryableConnectFailure(const std::string& name, const std::string& message);
    // Another client's connect is under way: wait for Connected to turn true.
    static bool isConnectInProgressElsewhere(const std::string& name, const std::string& message);
    // The error of a failed LEAdvertisingManager1.RegisterAdvertisement, in the central's
    // domain: AlreadyExists 9 (already advertising), NotPermitted ("Maximum advertisements
    // reached") 4 (out of space), InvalidArguments and Failed "Failed to parse
    // advertisement." (data that does not fit or a bad property) 1, no advertising manager
    // on the adapter (UnknownMethod, UnknownInterface, UnknownObject) 13, time-out 6, others 0.
    static ErrorPtr advertisingError(const std::string& name, const std::string& message);
    // The pending connect was cancelled by our own Disconnect.
    static bool isConnectCancelled(const std::string& name, const std::string& message);

    // An ATT code parsed from "Operation failed with ATT error: 0xNN"; -1 when the text is
    // not of that form.
    static int parseATTCode(const std::string& message);
    // Adds the D-Bus name and message to an error's user info.
    static ErrorPtr withOrigin(const ErrorPtr& error, const std::string& name, const std::string& message);

    // The D-Bus error a call that ran past the adapter's own time limit is reported as.
    static constexpr const char* TimedOutName = "org.freedesktop.DBus.Error.NoReply";
};

inline constexpr const char* BluezErrorNameKey = "BluezErrorName";
inline constexpr const char* BluezErrorMessageKey = "BluezErrorMessage";

}  // namespace tandril
