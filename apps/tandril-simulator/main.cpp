// tandril-simulator: the agent against a simulated iPhone, printing to the terminal.

#include "tandril-simulator/TDRSimulator.hpp"

#ifdef TANDRIL_SIMULATOR_BLUEZ
#include "tandril-simulator/TDRSimulatorBluez.hpp"
#endif

int main(int argc, char** argv) {
#ifdef TANDRIL_SIMULATOR_BLUEZ
    tandril::TDRSimulator::setBluezMode(
        [](const std::shared_ptr<tandril::SimRadio>& radio, std::ostream& out, std::string& phoneIdentifier,
           std::string& error) {
            phoneIdentifier = tandril::TDRSimulatorBluez::agentIdentifierOf(phoneIdentifier);
            return std::shared_ptr<void>(tandril::TDRSimulatorBluez::start(radio, out, error));
        });
#endif
    return tandril::TDRSimulator::run(argc, argv);
}
