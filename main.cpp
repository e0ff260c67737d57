#include "app/program.h"
#include "dialup/nmdialservice.h"
#include "windows/topmost.h"
#include "windows/twips.h"

#include <QApplication>
#include <QDBusConnection>
#include <QMessageBox>
#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <thread>

int main(int argc, char *argv[]) {
    // Every file and folder the program makes is its user's alone: the
    // settings hold a password, the log names the server and the account.
    ::umask(077);
    // fontconfig reads its configuration on first use, which the first
    // window waits for: read it meanwhile, while Qt connects to the display.
    std::thread fontconfigWarmUp([] { FcInit(); });
    preferX11UnderWayland(); // Wayland has no topmost windows for the popup
    QApplication app(argc, argv);
    // With the settings window hidden, closing the popup or the version
    // window must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    installProgramLook();

    NmDialService networkManager([] { return QDBusConnection::systemBus(); });
    Seams seams = Seams::production();
    seams.dial = &networkManager;
    fontconfigWarmUp.join();
    if (!seams.folderError.isEmpty()) {
        // Settings with a password never go where someone else could reach them.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("クイルモン7400"), seams.folderError);
        box.exec();
        return 1;
    }
    Program program(std::move(seams), AppSeams::production());
    if (!program.start()) return 0; // another copy runs: end silently
    return app.exec();
}
