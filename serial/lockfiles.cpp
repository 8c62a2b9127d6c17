#include "lockfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "showntext.h"

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace serial {

namespace {

// Directories where serial programs leave UUCP-style LCK..<name> files, Qt's among them.
const QStringList &lockDirectories() {
    static const QStringList dirs{QStringLiteral("/var/lock"),
                                  QStringLiteral("/run/lock"),
                                  QStringLiteral("/etc/locks"),
                                  QStringLiteral("/var/spool/locks"),
                                  QStringLiteral("/var/spool/uucp"),
                                  QStringLiteral("/var/lock/lockdev"),
                                  QStringLiteral("/tmp"),
                                  QStringLiteral("/var/tmp")};
    return dirs;
}

// Programs name the lock after the device path below /dev with '/' made '_' (Qt:
// LCK..pts_3, LCK..serial_by-id_usb-...), some only after its last component.
QStringList lockNames(const QStringList &devicePaths) {
    QStringList names;
    for (const QString &path : devicePaths) {
        if (!path.startsWith(QLatin1String("/dev/")))
            continue; // a port directory entry is no name other programs lock by
        QString name = path.mid(5);
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        names << name << QFileInfo(path).fileName();
    }
    names.removeDuplicates();
    return names;
}

// HDB lock files hold the PID as ASCII ("      1234\n", Qt adds name and host on the
// lines below); old UUCP ones as a 4-byte binary integer.
qint64 lockFilePid(const QByteArray &content) {
    if (content.size() == 4 && !std::all_of(content.begin(), content.end(), [](char c) {
            return (c >= '0' && c <= '9') || c == ' ' || c == '\n';
        })) {
        qint32 pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid;
    }
    const qsizetype lineEnd = content.indexOf('\n');
    const QByteArray firstLine = (lineEnd < 0 ? content : content.left(lineEnd)).trimmed();
    const qsizetype wordEnd = firstLine.indexOf(' ');
    const QByteArray firstWord = wordEnd < 0 ? firstLine : firstLine.left(wordEnd);
    bool ok = false;
    const qint64 pid = firstWord.toLongLong(&ok);
    return ok ? pid : 0;
}

bool processAlive(qint64 pid) {
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// The program's own name: the first word of its command line (comm is cut at 15 bytes).
// Whoever started it chose that name, so it is shown only as safe text.
QString processName(qint64 pid) {
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray argv0 = cmdline.read(4096).split('\0').value(0);
        if (!argv0.isEmpty())
            return shownText(QFileInfo(QFile::decodeName(argv0)).fileName());
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return shownText(QString::fromLocal8Bit(comm.readAll().trimmed()));
}

// The group that owns the device: its users may lock it for each other.
uint portGroupOf(const QStringList &devicePaths) {
    for (const QString &path : devicePaths) {
        struct stat info {};
        if (::stat(QFile::encodeName(path).constData(), &info) == 0)
            return info.st_gid;
    }
    return 0;
}

} // namespace

// A lock file whose process still runs. Checked before Qt opens the port, because Qt
// treats any lock file older than half a minute without its own file lock as stale
// and would remove the lock of a live program that does not use Qt. The lock of a
// process that has ended is removed, as serial programs do; Qt itself would leave one
// it cannot read in place and refuse the port for it.
std::optional<LockHolder> liveLock(const QStringList &devicePaths) {
    const QStringList names = lockNames(devicePaths);
    const uint portGroup = portGroupOf(devicePaths);
    QSet<QString> seenDirs;
    for (const QString &dir : lockDirectories()) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (real.isEmpty() || seenDirs.contains(real))
            continue;
        seenDirs.insert(real);
        for (const QString &name : names) {
            QFile file(real + QStringLiteral("/LCK..") + name);
            if (!file.exists())
                continue;
            if (const std::optional<QString> why = distrustLockFile(file.fileName(), portGroup)) {
                qCWarning(lcSerial).noquote() << "ignored lock file" << file.fileName() << *why;
                continue;
            }
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const qint64 pid = lockFilePid(file.read(256));
            file.close();
            if (processAlive(pid))
                return LockHolder{file.fileName(), pid};
            if (pid > 0)
                file.remove();
        }
    }
    return std::nullopt;
}

std::optional<QString> distrustLockFile(const QString &lockFile, uint portGroup) {
    const uid_t us = ::geteuid();
    const auto trustedUser = [us](uid_t uid) { return uid == 0 || uid == us; };
    const auto trustedGroup = [portGroup](gid_t gid) { return gid == 0 || gid == portGroup; };

    struct stat file {};
    if (::lstat(QFile::encodeName(lockFile).constData(), &file) != 0)
        return QStringLiteral("cannot be read");
    if (!S_ISREG(file.st_mode))
        return QStringLiteral("is not a plain file");
    if (!trustedUser(file.st_uid) && file.st_gid != portGroup)
        return QStringLiteral("belongs to user %1, group %2").arg(file.st_uid).arg(file.st_gid);

    const QString dir = QFileInfo(lockFile).absolutePath();
    struct stat parent {};
    if (::stat(QFile::encodeName(dir).constData(), &parent) != 0)
        return QStringLiteral("lies in a directory that cannot be read");
    // In a sticky directory nobody can remove or replace another user's file.
    if (parent.st_mode & S_ISVTX)
        return std::nullopt;
    const bool othersWrite = (parent.st_mode & S_IWOTH) ||
                             ((parent.st_mode & S_IWGRP) && !trustedGroup(parent.st_gid)) ||
                             !trustedUser(parent.st_uid);
    if (othersWrite)
        return QStringLiteral("lies in %1, which others may write to").arg(dir);
    return std::nullopt;
}

std::optional<LockHolder> deviceUser(const QString &device) {
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        bool ok = false;
        const qint64 number = pid.toLongLong(&ok);
        if (!ok || pid == self)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
            if (QFile::symLinkTarget(fds.filePath(fd)) == device)
                return LockHolder{QString(), number};
        }
    }
    return std::nullopt;
}

QString holderName(const LockHolder &holder) {
    const QString name = processName(holder.pid);
    return name.isEmpty() ? QStringLiteral("process %1").arg(holder.pid)
                          : QStringLiteral("%1 (process %2)").arg(name).arg(holder.pid);
}

QString holderText(const LockHolder &holder) {
    // Without the program's name the lock file is the one lead the user has.
    if (processName(holder.pid).isEmpty() && !holder.lockFile.isEmpty())
        return QStringLiteral("It is held by process %1 (lock file %2).")
            .arg(holder.pid)
            .arg(shownText(holder.lockFile, kShownPathLength));
    return QStringLiteral("It is held by %1.").arg(holderName(holder));
}

} // namespace serial
