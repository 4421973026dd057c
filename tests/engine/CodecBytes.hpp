#pragma once

// Wire bytes of the notification-center profile, built by hand for the codec tests,
// the corpus replay and the benchmarks.

#include <algorithm>
#include <string>
#include <string_view>

#include "foundation/Bytes.hpp"

namespace tandril::test::codec {

inline Bytes bytes(std::string_view hex) {
    Bytes out;
    bytesFromHex(hex, out);
    return out;
}

inline void appendTuple(Bytes& out, std::uint8_t attributeID, const std::string& value) {
    out.push_back(attributeID);
    out.push_back(static_cast<std::uint8_t>(value.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value.size() >> 8) & 0xFF));
    out.insert(out.end(), value.begin(), value.end());
}

// 00, UID, then the five tuples the engine asks for: app identifier, title, subtitle, message, date.
inline Bytes notificationAnswer(const Bytes& uid, const std::string& app, const std::string& title,
                                const std::string& subtitle, const std::string& message, const std::string& date) {
    Bytes out(1 + uid.size(), 0x00);
    std::copy(uid.begin(), uid.end(), out.begin() + 1);
    appendTuple(out, 0, app);
    appendTuple(out, 1, title);
    appendTuple(out, 2, subtitle);
    appendTuple(out, 3, message);
    appendTuple(out, 5, date);
    return out;
}

inline Bytes notificationAnswer(std::string_view uidHex, const std::string& app, const std::string& title,
                                const std::string& subtitle, const std::string& message, const std::string& date) {
    return notificationAnswer(bytes(uidHex), app, title, subtitle, message, date);
}

// 01, identifier, 00, then the display-name tuple.
inline Bytes appAnswer(const std::string& identifier, const std::string& name) {
    Bytes out{0x01};
    out.insert(out.end(), identifier.begin(), identifier.end());
    out.push_back(0x00);
    appendTuple(out, 0, name);
    return out;
}

// The engine's Get App Attributes command: 01, identifier, 00, 00.
inline Bytes appCommand(const std::string& identifier) {
    Bytes out{0x01};
    out.insert(out.end(), identifier.begin(), identifier.end());
    out.push_back(0x00);
    out.push_back(0x00);
    return out;
}

}  // namespace tandril::test::codec
