#pragma once
// Start at login: a desktop entry in the user's autostart folder
// ($XDG_CONFIG_HOME/autostart, by default ~/.config/autostart), as the XDG
// Desktop Application Autostart rules read it. It starts the program at the
// path given, normally the running one.
#include <QString>

namespace autostart {

// The entry's path; empty when no folder can be named (no HOME).
QString entryPath();
// The Exec value that starts `program`: quoted as the Desktop Entry rules
// require, empty for a path they cannot carry (a control character).
QString execLine(const QString &program);
// The whole entry for `program`, which starts it with --run (monitoring
// resumes at once); empty when execLine is.
QByteArray entry(const QString &program);
// Whether an entry exists that starts this program.
bool enabled(const QString &program);
// Whether that entry starts it without --run, as entries of older versions do.
bool outdated(const QString &program);
// Writes the entry (replaced as a whole, no link followed), or removes it.
bool enable(const QString &program);
bool disable();

} // namespace autostart
