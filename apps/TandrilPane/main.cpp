// TandrilPane: the settings application of Tandril.

#include "TandrilPane/TDRPaneProgram.hpp"

int main(int argc, char** argv) { return tandril::TDRPaneProgram::run(argc, argv); }
