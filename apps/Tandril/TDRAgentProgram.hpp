#pragma once

namespace tandril {

// The agent program: a Qt application whose event loop is the main run loop, with the
// desktop's real pieces (notifications, the session-bus control channel, sleep and wake,
// the workspace, the chooser window, the update check, crash reports) handed to the agent
// shell's start-up. It runs from inside its bundle (…/Tandril.app/Contents/MacOS/Tandril).
//
// One agent per user session: a second one finds the session-bus name com.Varn.Glimwick
// taken, says so and exits 0 without touching anything. SIGINT and SIGTERM end it cleanly.
// Log lines go to standard error, one plain line each (the journal under systemd).
class TDRAgentProgram {
public:
    // `Tandril`, `Tandril --help`, `Tandril --version`.
    static int run(int argc, char** argv);
};

}  // namespace tandril
