#pragma once
// Where the program keeps its files. A copy carried in a folder of its own
// (with its settings beside it, or in a folder only its user may write) keeps
// everything beside itself, as it always has. An installed copy keeps the
// settings under $XDG_CONFIG_HOME/quilmon7400, the log, the seen-id list and
// the lock under $XDG_STATE_HOME/quilmon7400, and reads the help file from
// <prefix>/share/quilmon7400.
#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace folders {

struct Places {
    QString configDir; // quil7400.dat, quil7400.conf
    QString stateDir;  // quil7400.log, quilmon.dat, quil7400.lock
    QString helpFile;  // quillmon.hlp
    bool portable = false;
    // Empty, or why a folder was refused, in words for the user; the
    // folders are then not to be used.
    QString error;
};

// Whether anyone but the folder's owner may change what is in it: write
// permission for others, or for a group other than the user's own private
// group. True also when the folder cannot be examined.
bool writableByOthers(const QString &dir);
// Whether the copy of the program in `programDir` keeps its files there.
bool portable(const QString &programDir);
// The places for the copy in `programDir`. For an installed copy the two
// folders are made (0700) when missing; one that is a symbolic link, belongs
// to someone else or others may write is refused, and so is one below a
// folder others may write that is not sticky. A copy in such a folder is
// not carried in a folder of its own either.
Places locate(const QString &programDir);

// Where this user's copies list the folders of those that keep passwords in
// the keyring: beside the installed copy's state, whichever copy this is.
QString keyringCopiesList();

// Every file and folder the program makes is its user's alone (the
// settings hold a password, the log names the server and the account):
// the process's mask becomes 077. Called once, first thing.
void keepFilesPrivate();
// Starts a program without waiting for it, with the mask the user had: the
// mail client's files are not this program's.
bool startAsUser(const QString &program, const QStringList &arguments);

} // namespace folders
