// Rewrites quilmon.dat and quil7400.dat in the given folder, alternating
// between two versions, the way the program does, until it is killed.
#include "check/settingsfile.h"
#include "e2e/faults_contents.h"
#include "platform/atomicfile.h"
#include "pop3/uidstore.h"

#include <QDir>
#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QString store = UidStorePath(dir.path());
    const QString settings = dir.filePath(QStringLiteral("quil7400.dat"));
    const UidList uids[2] = {faults::uids('a'), faults::uids('b')};
    const QByteArray records[2] = {settingsfile::format(faults::settings('a')),
                                   settingsfile::format(faults::settings('b'))};
    std::puts("ready");
    std::fflush(stdout);
    for (unsigned i = 1;; ++i) {
        if (!WriteUidStore(store, uids[i % 2])) return 1;
        if (!writeFileAtomically(settings, records[i % 2])) return 1;
    }
}
