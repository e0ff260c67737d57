#pragma once
// The program's files, handled so that nothing planted in its folder can be
// turned against the user: no symbolic link is followed, only regular files
// are read or appended to, what is read is capped, and a file is replaced as
// a whole (written beside it, then renamed over it), so a crash or a full
// disk leaves the old file or the new one, never a torn one.
#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <optional>

bool writeFileAtomically(const QString &path, const QByteArray &bytes,
                         QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                                QFileDevice::WriteOwner);
// The whole file; nullopt when it is missing, not a regular file, a link, or
// larger than maxBytes.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes);
// Appends to a regular file, made owner-only when new.
bool appendToFile(const QString &path, const QByteArray &bytes);
// Removes the half-written copies a save killed before its rename left
// beside `path` (path.XXXXXX). Only while no other copy of the program
// can be saving.
void removeLeftovers(const QString &path);
