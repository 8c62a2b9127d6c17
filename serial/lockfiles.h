// Lock files: how serial programs on Unix tell each other that a device is taken. Read, so
// that a port another program holds is reported as in use, and so that the lock of a
// program that has ended does not keep the port from opening.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace serial {

struct LockHolder {
    QString lockFile; // empty when the holder was found by its open device instead
    qint64 pid = 0;
};

// A live lock on any of the paths (the device and the port directory's entry for it) that
// the device's users can trust; a lock file anyone else could have planted is ignored, and
// named in the log. No lock file is followed as a link, read beyond its first bytes, or
// waited for.
std::optional<LockHolder> liveLock(const QStringList &devicePaths);

// This process's lock file for `device`, written whole under its final name at once, as
// serial programs expect it. `path` is empty when none was written: the device is no
// device below /dev, no lock directory lets us write, or a file we do not trust stands
// in the way (logged; it does not keep the port from us). `heldBy` is set instead when a
// live lock that we trust took the name first.
struct OwnLock {
    QString path;
    std::optional<LockHolder> heldBy;
};
OwnLock writeLock(const QString &device);
// Removes a lock file writeLock() wrote, if it still names this process.
void releaseLock(const QString &path);

// Why a lock file cannot be trusted for a port owned by group `portGroup`, or nothing when
// it can: it must belong to root, to us or to that group, and lie in a directory that only
// those may write to or that is sticky.
std::optional<QString> distrustLockFile(const QString &lockFile, uint portGroup);

// A process that has `device` open, other than this one: who holds a port that is busy
// without a lock file.
std::optional<LockHolder> deviceUser(const QString &device);

// "<program> (process <pid>)", or "process <pid>" when the program cannot be named.
QString holderName(const LockHolder &holder);

// Who holds the port, for the user: "It is held by <program> (process <pid>)." with the
// lock file named when the program cannot be.
QString holderText(const LockHolder &holder);

} // namespace serial
