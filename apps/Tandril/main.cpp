// Tandril: the agent that shows an iPhone's notifications on this desktop.

#include "Tandril/TDRAgentProgram.hpp"

int main(int argc, char** argv) { return tandril::TDRAgentProgram::run(argc, argv); }
