#pragma once

#include <string>
#include <vector>

namespace tandril {

// Asks polkit whether this process may perform an action, through the pkcheck tool.
class PolkitCheck {
public:
    // pkcheck's outcomes (its exit statuses).
    enum class Result { Authorized, NotAuthorized, NoInteraction, Dismissed, Failed };

    // `program` is the checking tool (a name looked up in PATH, or a path).
    explicit PolkitCheck(std::string program = "pkcheck");

    // Checks `actionId` for this process; with `interactive` the user may be asked for a
    // password by the session's authentication agent. Blocks until polkit answers.
    Result check(const std::string& actionId, bool interactive) const;

    // The subject pkcheck is given for this process: "pid,start-time,uid", the form that
    // cannot be confused with a later process reusing the pid.
    static std::string processSubject();

    const std::string& program() const { return program_; }

private:
    std::string program_;
};

}  // namespace tandril
