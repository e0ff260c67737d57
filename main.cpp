#include "app/program.h"
#include "dialup/nmbackend.h"
#include "platform/helpviewer.h"
#include "platform/resources.h"
#include "platform/topmost.h"
#include "platform/twips.h"

#include <QApplication>
#include <QDBusConnection>

int main(int argc, char *argv[]) {
    preferX11UnderWayland(); // Wayland has no topmost windows for the popup
    QApplication app(argc, argv);
    // With the settings window hidden, closing the popup or the version
    // window must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    loadProgramResources();
    installProgramLook();

    NmBackend networkManager(QDBusConnection::systemBus());
    Seams seams = Seams::production();
    seams.ras = &networkManager;
    seams.openHelp = openHelpFile;
    Program program(std::move(seams));
    if (!program.start()) return 0; // another copy runs: end silently
    return app.exec();
}
