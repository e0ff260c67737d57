#pragma once
// Replaces a file as a whole: written beside it, then renamed over it, so a
// crash or a full disk leaves the old file or the new one, never a torn one.
#include <QByteArray>
#include <QFileDevice>
#include <QString>

bool writeFileAtomically(const QString &path, const QByteArray &bytes,
                         QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                                QFileDevice::WriteOwner);
