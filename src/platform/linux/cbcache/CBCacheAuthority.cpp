#include "platform/linux/cbcache/CBCacheAuthority.hpp"

#include <systemd/sd-bus.h>

#include <cstring>

namespace tandril {

namespace {

// Releases sd-bus objects on every way out.
struct BusGuard {
    sd_bus* bus = nullptr;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusGuard() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_flush_close_unref(bus);
    }
};

std::string describe(int r, const sd_bus_error& error) {
    if (sd_bus_error_is_set(&error)) {
        return std::string(error.name) + (error.message ? std::string(": ") + error.message : std::string());
    }
    return std::strerror(r < 0 ? -r : r);
}

}  // namespace

CBCacheAuthority::Result CBCacheAuthority::check(const Subject& subject, const std::string& actionId,
                                                 std::chrono::milliseconds timeout, std::string& error) const {
    BusGuard g;
    // The system bus, or DBUS_SYSTEM_BUS_ADDRESS when it is set (a private bus in tests).
    int r = sd_bus_open_system(&g.bus);
    if (r < 0) {
        error = "cannot connect to the system bus: " + describe(r, g.error);
        return Result::Failed;
    }
    r = sd_bus_message_new_method_call(g.bus, &g.call, "org.freedesktop.PolicyKit1",
                                       "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.PolicyKit1.Authority",
                                       "CheckAuthorization");
    // CheckAuthorization((sa{sv}) subject, s action_id, a{ss} details, u flags, s cancellation_id)
    if (r >= 0) r = sd_bus_message_open_container(g.call, 'r', "sa{sv}");
    if (r >= 0) r = sd_bus_message_append(g.call, "s", "unix-process");
    if (r >= 0) {
        r = sd_bus_message_append(g.call, "a{sv}", 3, "pid", "u", static_cast<std::uint32_t>(subject.pid), "start-time",
                                  "t", static_cast<std::uint64_t>(subject.startTime), "uid", "i",
                                  static_cast<std::int32_t>(subject.uid));
    }
    if (r >= 0) r = sd_bus_message_close_container(g.call);
    // No details; flags 0: no user interaction.
    if (r >= 0) r = sd_bus_message_append(g.call, "sa{ss}us", actionId.c_str(), 0, 0u, "");
    if (r < 0) {
        error = "cannot build the request: " + describe(r, g.error);
        return Result::Failed;
    }

    const auto usec = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    r = sd_bus_call(g.bus, g.call, usec > 0 ? usec : 1, &g.error, &g.reply);
    if (r < 0) {
        error = describe(r, g.error);
        return Result::Failed;
    }

    int authorized = 0;
    int challenge = 0;
    r = sd_bus_message_enter_container(g.reply, 'r', "bba{ss}");
    if (r >= 0) r = sd_bus_message_read(g.reply, "bb", &authorized, &challenge);
    if (r < 0) {
        error = "unexpected answer: " + describe(r, g.error);
        return Result::Failed;
    }
    if (authorized) return Result::Authorized;
    return challenge ? Result::ChallengeNeeded : Result::NotAuthorized;
}

}  // namespace tandril
