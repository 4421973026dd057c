#pragma once

#include <string>

namespace tandril {

// The simulator program: the agent against one simulated iPhone on the real run loop,
// desktop notifications and the device chooser printed to standard output, the agent's log
// lines to standard error (dimmed on a terminal). Ctrl-C (or SIGTERM) stops it cleanly; a
// second Ctrl-C during the stop ends the process at once.
//
// Its data lives in $XDG_DATA_HOME/tandril-simulator (default ~/.local/share), apart from
// the real agent's: its own catalogue, icons and defaults domain.
class TDRSimulator {
public:
    // `tandril-simulator` runs the simulation; `tandril-simulator --write-bundle PATH`
    // writes the agent bundle at PATH (the build does this) and exits.
    // `--stock-iphone` (anywhere among the arguments) makes the phone an iPhone without the
    // companion application (TDRSimulatorScenario::setStockIPhone).
    static int run(int argc, char** argv, bool stockIPhone = false);
    // Removes "--stock-iphone" from the arguments; whether it was there.
    static bool takeStockIPhoneFlag(int& argc, char** argv);

    // $XDG_DATA_HOME/tandril-simulator (default ~/.local/share/tandril-simulator).
    static std::string dataDirectory();
    // On a terminal the log lines are dimmed, so that the notifications stand out.
    static void dimLogLinesOnATerminal();
};

}  // namespace tandril
