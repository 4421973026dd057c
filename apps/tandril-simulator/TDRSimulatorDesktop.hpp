#pragma once

namespace tandril {

// The simulator on a real desktop session: the simulated phone's notifications become real
// desktop notifications with their icons (when the session bus has a notification server),
// the device chooser is a real window for the user to pick the phone (when a display is
// present), and the control channel is the session bus. Whatever is missing stays on the
// terminal; without a session bus, or with neither a notification server nor a display, the
// whole simulator runs on the terminal (TDRSimulator).
//
// It stays apart from a real agent: its own data folder (as the terminal simulator), the
// bus name com.Varn.Glimwick.Simulator, and a control channel of its own path and interface.
// TANDRIL_SIMULATOR_TERMINAL=1 in the environment keeps everything on the terminal.
class TDRSimulatorDesktop {
public:
    static constexpr const char* kBusName = "com.Varn.Glimwick.Simulator";
    static constexpr const char* kControlChannelPath = "/com/Varn/Tandril/Simulator/ControlChannel";
    static constexpr const char* kControlChannelInterface = "com.Varn.Tandril.Simulator.ControlChannel";

    // Runs the simulator, on the desktop where there is one.
    static int run(int argc, char** argv);
};

}  // namespace tandril
