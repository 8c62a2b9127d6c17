// Lock files: how serial programs on Unix tell each other that a device is taken. Read, so
// that a port another program holds is reported as in use, and so that the lock of a
// program that has ended does not keep the port from opening.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace serial {

struct LockHolder {
    QString lockFile;
    qint64 pid = 0;
};

// A live lock on any of the paths (the device and the port directory's entry for it).
std::optional<LockHolder> liveLock(const QStringList &devicePaths);

// "<device> is in use by <program> (process <pid>) (lock file <file>)".
QString heldByText(const QString &device, const LockHolder &holder);

} // namespace serial
