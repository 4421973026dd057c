#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace tandril {

class SimRadio;

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
    // `tandril-simulator --bluez` runs it over BlueZ's D-Bus API (when built with the desktop).
    // `--stock-iphone` (anywhere among the arguments) makes the phone an iPhone without the
    // companion application (TDRSimulatorScenario::setStockIPhone).
    static int run(int argc, char** argv, bool stockIPhone = false);
    // Removes "--stock-iphone" from the arguments; whether it was there.
    static bool takeStockIPhoneFlag(int& argc, char** argv);

    // $XDG_DATA_HOME/tandril-simulator (default ~/.local/share/tandril-simulator).
    static std::string dataDirectory();
    // On a terminal the log lines are dimmed, so that the notifications stand out.
    static void dimLogLinesOnATerminal();
    // Serves `radio` to the agent through BlueZ's API and installs that adapter; returns what
    // must live while the simulation runs, or nothing with `error` set. `phoneIdentifier`
    // comes in as the simulated phone's identifier and goes out as the one the agent will
    // know it by. Registered by the program when it is built with the desktop libraries; it
    // enables --bluez.
    using BluezMode = std::function<std::shared_ptr<void>(const std::shared_ptr<SimRadio>& radio, std::ostream& out,
                                                          std::string& phoneIdentifier, std::string& error)>;
    static void setBluezMode(BluezMode mode);
};

}  // namespace tandril
