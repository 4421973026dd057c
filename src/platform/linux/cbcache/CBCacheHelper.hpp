#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/cbcache/CBCacheAuthority.hpp"
#include "platform/linux/cbcache/CBCacheStore.hpp"

namespace tandril {

// The privileged Bluetooth-cache helper: the server end of the socket protocol that
// CNCacheHelperClient speaks.
//
// Per connection, one at a time:
//  1. the caller is taken from the socket's peer credentials (SO_PEERCRED) at once;
//  2. exactly 33 bytes are read within the request deadline: the 32-byte consent token and
//     the command byte 0x73. A short, late, silent or overlong request, or another
//     command, is answered with one line and the connection is closed;
//  3. the token must name the caller (its "TDRC" mark, pid, start time and uid); it is a
//     cross-check only: what is authorized is the caller as the kernel reports it;
//  4. polkit must say that this process holds "com.Varn.cbcache.clear";
//  5. bluetooth.service is stopped, the [Attributes] groups are removed from BlueZ's cache
//     files, and bluetooth.service is started again;
// and every step is reported to the caller as UTF-8 lines before the connection closes.
// Nothing in the storage is touched unless every check has passed.
class CBCacheHelper {
public:
    struct Options {
        // BlueZ's storage root.
        std::string storageRoot = CBCacheStore::kDefaultRoot;
        // The time a caller has to send its whole request, counted from the accept.
        std::chrono::milliseconds requestDeadline{5000};
        // The time polkit has to answer.
        std::chrono::milliseconds authorityTimeout{5000};
        // serve() ends after this long without a connection (socket activation starts the
        // helper again for the next one); zero waits for ever.
        std::chrono::milliseconds idleExit{60000};
        // Stops ("stop") and starts ("start") BlueZ's service; returns empty on success,
        // otherwise what went wrong. Absent: systemctl on bluetooth.service.
        std::function<std::string(const std::string& verb)> serviceControl;
        // Receives every report line as it is sent (the journal, in the program).
        std::function<void(const std::string& line)> logLine;
    };

    // What the caller's 32 bytes say about it.
    struct Token {
        std::uint32_t pid = 0;
        std::uint32_t startTime = 0;
        std::uint32_t uid = 0;
    };

    explicit CBCacheHelper(Options options);

    // Accepts and answers connections on `listeningFd` one after the other until none came
    // for idleExit. A connected socket (handed over by an Accept=yes socket unit) is
    // answered on its own. Returns the program's exit status.
    int serve(int listeningFd);
    // Answers one connection and closes it.
    void handle(int connectionFd);

    // A listening socket bound to `path` (test mode), or -1 with `error` set.
    static int listenOn(const std::string& path, std::string& error);
    // The token's fields, or nullopt when it is not one the agent makes.
    static std::optional<Token> parseToken(const std::vector<std::uint8_t>& bytes);
    // Field 22 of /proc/<pid>/stat, or nullopt when the process is gone.
    static std::optional<std::uint64_t> startTimeOf(pid_t pid);

private:
    void say(int fd, const std::string& line);
    void clear(int fd);

    Options options_;
    CBCacheAuthority authority_;
};

}  // namespace tandril
