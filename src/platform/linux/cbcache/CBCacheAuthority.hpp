#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace tandril {

// Asks polkit, over the system bus (org.freedesktop.PolicyKit1.Authority.CheckAuthorization),
// whether a process holds an action. The process is named as polkit's "unix-process"
// subject: pid, start time (so that a later process reusing the pid is not mistaken for
// it) and uid. The check never asks the user: the helper has no one to ask, and the client
// asked interactively just before it connected (the action's "auth_admin_keep" lets polkit
// remember that answer for a while).
class CBCacheAuthority {
public:
    enum class Result {
        Authorized,
        NotAuthorized,
        // Authorized only after authenticating, which has not happened (or has expired).
        ChallengeNeeded,
        // polkit could not be asked or did not answer in time.
        Failed
    };

    struct Subject {
        pid_t pid = 0;
        // Field 22 of /proc/<pid>/stat: clock ticks since boot.
        std::uint64_t startTime = 0;
        uid_t uid = 0;
    };

    // `error` says what went wrong when the result is Failed.
    Result check(const Subject& subject, const std::string& actionId, std::chrono::milliseconds timeout,
                 std::string& error) const;
};

}  // namespace tandril
