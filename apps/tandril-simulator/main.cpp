// tandril-simulator: the agent against a simulated iPhone, printing to the terminal.

#include "tandril-simulator/TDRSimulator.hpp"

int main(int argc, char** argv) { return tandril::TDRSimulator::run(argc, argv); }
