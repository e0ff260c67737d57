#include "platform/seams.h"

#include "platform/folders.h"

#include <QCoreApplication>

Seams Seams::production() {
    Seams s;
    s.now = [] { return QDateTime::currentDateTime(); };
    const folders::Places places = folders::locate(QCoreApplication::applicationDirPath());
    s.configDir = places.configDir;
    s.stateDir = places.stateDir;
    s.keyringCopies = folders::keyringCopiesList();
    s.helpFile = places.helpFile;
    s.folderError = places.error;
    s.sessionBus = [] { return QDBusConnection::sessionBus(); };
    s.systemBus = [] { return QDBusConnection::systemBus(); };
    return s;
}
