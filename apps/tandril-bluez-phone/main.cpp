// tandril-bluez-phone: the simulated iPhone served through BlueZ on one of this machine's
// Bluetooth adapters, scripted from standard input.

#include <QtCore/QCoreApplication>

#include "tandril-bluez-phone/BluezPhoneProgram.hpp"

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    tandril::BluezPhoneProgram program;
    const int status = program.start(application.arguments());
    if (status >= 0) return status;
    return QCoreApplication::exec();
}
