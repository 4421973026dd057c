// tandril-simulator: the agent against a simulated iPhone, on the desktop when there is one,
// else printing to the terminal.

#include "tandril-simulator/TDRSimulator.hpp"
#ifdef TANDRIL_SIMULATOR_DESKTOP
#include "tandril-simulator/TDRSimulatorDesktop.hpp"
#endif

#ifdef TANDRIL_SIMULATOR_BLUEZ
#include "tandril-simulator/TDRSimulatorBluez.hpp"
#endif

int main(int argc, char** argv) {
#ifdef TANDRIL_SIMULATOR_BLUEZ
    tandril::TDRSimulator::setBluezMode(
        [](const std::shared_ptr<tandril::SimRadio>& radio, std::ostream& out, std::string& error) {
            return std::shared_ptr<void>(tandril::TDRSimulatorBluez::start(radio, out, error));
        });
#endif
#ifdef TANDRIL_SIMULATOR_DESKTOP
    return tandril::TDRSimulatorDesktop::run(argc, argv);
#else
    return tandril::TDRSimulator::run(argc, argv);
#endif
}
