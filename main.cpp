#include "app/program.h"
#include "dialup/nmdialservice.h"
#include "platform/folders.h"
#include "windows/topmost.h"
#include "windows/twips.h"

#include <QApplication>
#include <QDBusConnection>
#include <QMessageBox>
#include <fontconfig/fontconfig.h>
#include <sys/prctl.h>
#include <thread>

int main(int argc, char *argv[]) {
    folders::keepFilesPrivate();
    // Nor may a crash leave the password in a core file, or another process
    // of the user read it out of this one's memory.
    ::prctl(PR_SET_DUMPABLE, 0);
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
    // --run: the start at login, which resumes monitoring (the autostart entry).
    const bool run = QCoreApplication::arguments().contains(QStringLiteral("--run"));
    if (!program.start(run)) return 0; // another copy runs: end silently
    return app.exec();
}
