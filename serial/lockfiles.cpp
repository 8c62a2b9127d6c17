#include "lockfiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
QString processName(qint64 pid) {
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray argv0 = cmdline.read(4096).split('\0').value(0);
        if (!argv0.isEmpty())
            return QFileInfo(QFile::decodeName(argv0)).fileName();
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll().trimmed());
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

// Where lock files are looked for, each directory once however it is reached.
QStringList realLockDirectories() {
    QStringList dirs;
    for (const QString &dir : lockDirectories()) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (!real.isEmpty() && !dirs.contains(real))
            dirs << real;
    }
    return dirs;
}

QString ownerText(uid_t uid, gid_t gid) {
    const passwd *user = ::getpwuid(uid);
    const group *grp = ::getgrgid(gid);
    return QStringLiteral("user %1 (%2), group %3 (%4)")
        .arg(user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("?"))
        .arg(uid)
        .arg(grp ? QString::fromLocal8Bit(grp->gr_name) : QStringLiteral("?"))
        .arg(gid);
}

// Why a lock file with these attributes, in `dir`, cannot be trusted for a port of group
// `portGroup`; nothing when it can.
std::optional<QString> distrust(const struct stat &file, const QString &dir, uint portGroup) {
    const uid_t us = ::geteuid();
    const auto trustedUser = [us](uid_t uid) { return uid == 0 || uid == us; };
    const auto trustedGroup = [portGroup](gid_t gid) { return gid == 0 || gid == portGroup; };

    if (S_ISLNK(file.st_mode))
        return QStringLiteral("is a symbolic link of %1").arg(ownerText(file.st_uid, file.st_gid));
    if (!S_ISREG(file.st_mode))
        return QStringLiteral("is not a plain file; it belongs to %1")
            .arg(ownerText(file.st_uid, file.st_gid));
    if (!trustedUser(file.st_uid) && file.st_gid != portGroup)
        return QStringLiteral("belongs to %1").arg(ownerText(file.st_uid, file.st_gid));

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

// What a lock file says, as far as it may be believed.
struct LockFile {
    bool present = false;
    QString distrust; // why it is not believed; empty when it is
    QByteArray head;  // its first bytes, when it is believed
};

// The longest lock file content that means anything: a PID, a program and a user name.
constexpr qsizetype kLockHead = 128;

// Anyone may plant a file under a lock file's name. It is opened without following a link
// and without waiting for a writer (a FIFO), judged by what the open file is, and only the
// first bytes of a plain file are read: a link to an endless device, a huge file or a
// FIFO can neither hang nor exhaust the tool.
LockFile readLockFile(const QString &path, uint portGroup) {
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return {};
        struct stat info {};
        if (::lstat(name.constData(), &info) == 0)
            if (const std::optional<QString> why =
                    distrust(info, QFileInfo(path).absolutePath(), portGroup))
                return LockFile{true, *why, {}};
        return LockFile{
            true,
            QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(error))),
            {}};
    }
    LockFile lock{true, {}, {}};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        lock.distrust = QStringLiteral("cannot be read");
    } else if (const std::optional<QString> why =
                   distrust(info, QFileInfo(path).absolutePath(), portGroup)) {
        lock.distrust = *why;
    } else {
        lock.head.resize(kLockHead);
        const ssize_t n = ::read(fd, lock.head.data(), size_t(kLockHead));
        lock.head.resize(n > 0 ? qsizetype(n) : 0);
    }
    ::close(fd);
    return lock;
}

// Puts `content` under `path` whole or not at all, through a scratch file in `dir`. 0, or
// the error: EEXIST when the name is taken.
int linkInPlace(const QString &dir, const QString &path, const QByteArray &content) {
    QByteArray scratch = QFile::encodeName(dir) + "/LTMP.zarvo.XXXXXX";
    const int fd = ::mkostemp(scratch.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    const bool written =
        ::fchmod(fd, 0644) == 0 &&
        ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    const int writeError = errno;
    ::close(fd);
    const int error = !written ? writeError
                      : ::link(scratch.constData(), QFile::encodeName(path).constData()) == 0
                          ? 0
                          : errno;
    ::unlink(scratch.constData());
    return error;
}

// The number of the pseudo-terminal whose master side the process has open as `fd`.
QString ptyMasterIndex(const QString &pid, const QString &fd) {
    QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid, fd));
    if (!info.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : info.read(4096).split('\n')) {
        if (line.startsWith("tty-index:"))
            return QString::fromLatin1(line.mid(10).trimmed());
    }
    return {};
}

} // namespace

// A lock file whose process still runs. Checked before the port is opened; the lock of a
// process that has ended is removed, as serial programs do.
std::optional<LockHolder> liveLock(const QStringList &devicePaths) {
    const QStringList names = lockNames(devicePaths);
    const uint portGroup = portGroupOf(devicePaths);
    for (const QString &dir : realLockDirectories()) {
        for (const QString &name : names) {
            const QString path = dir + QStringLiteral("/LCK..") + name;
            const LockFile lock = readLockFile(path, portGroup);
            if (!lock.present)
                continue;
            if (!lock.distrust.isEmpty()) {
                qCWarning(lcSerial).noquote() << "ignored lock file" << path << lock.distrust;
                continue;
            }
            const qint64 pid = lockFilePid(lock.head);
            if (processAlive(pid))
                return LockHolder{path, pid};
            if (pid > 0)
                ::unlink(QFile::encodeName(path).constData());
        }
    }
    return std::nullopt;
}

OwnLock writeLock(const QString &device) {
    const QStringList names = lockNames({device});
    if (names.isEmpty())
        return {};
    const uint portGroup = portGroupOf({device});
    const QByteArray content =
        QByteArray::number(QCoreApplication::applicationPid()).rightJustified(10, ' ') + '\n';
    for (const QString &dir : realLockDirectories()) {
        if (::access(QFile::encodeName(dir).constData(), W_OK) != 0)
            continue;
        const QString path = dir + QStringLiteral("/LCK..") + names.first();
        // A second try when the first found the lock of a process that has ended, which
        // the look at it removed.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int error = linkInPlace(dir, path, content);
            if (error == 0)
                return OwnLock{path, std::nullopt};
            if (error != EEXIST)
                break;
            const LockFile lock = readLockFile(path, portGroup);
            if (lock.present && !lock.distrust.isEmpty()) {
                qCWarning(lcSerial).noquote()
                    << "no lock file written for" << device << "since" << path << lock.distrust;
                return {};
            }
            if (const std::optional<LockHolder> holder = liveLock({device}))
                return OwnLock{QString(), holder};
        }
        return {};
    }
    return {};
}

void releaseLock(const QString &path) {
    if (path.isEmpty())
        return;
    const LockFile lock = readLockFile(path, 0);
    if (lock.present && lockFilePid(lock.head) == QCoreApplication::applicationPid())
        ::unlink(QFile::encodeName(path).constData());
}

std::optional<QString> distrustLockFile(const QString &lockFile, uint portGroup) {
    struct stat file {};
    if (::lstat(QFile::encodeName(lockFile).constData(), &file) != 0)
        return QStringLiteral("cannot be read");
    return distrust(file, QFileInfo(lockFile).absolutePath(), portGroup);
}

std::optional<LockHolder> deviceUser(const QString &device) {
    const QByteArray wanted = QFile::encodeName(device);
    const pid_t self = ::getpid();
    // A pseudo-terminal's master side is the far end of the line, not a second user of the
    // port: a process that holds both ends (a virtual instrument, a line relay) is no holder.
    const QString ptyIndex =
        device.startsWith(QLatin1String("/dev/pts/")) ? device.mid(9) : QString();
    // Every open file of every process is looked at before each open: plain system calls,
    // and only the links' text, never the files themselves (which could hang a stat).
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    std::optional<LockHolder> found;
    while (!found) {
        const dirent *entry = ::readdir(proc);
        if (!entry)
            break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const QByteArray fdDir = QByteArray("/proc/") + entry->d_name + "/fd";
        DIR *fds = ::opendir(fdDir.constData());
        if (!fds)
            continue; // gone meanwhile, or another user's that we may not see
        bool holdsDevice = false;
        bool holdsFarEnd = false;
        while (const dirent *fd = ::readdir(fds)) {
            char target[PATH_MAX];
            const QByteArray link = fdDir + '/' + fd->d_name;
            const ssize_t n = ::readlink(link.constData(), target, sizeof target);
            if (n <= 0)
                continue;
            const QByteArray text(target, qsizetype(n));
            if (text == wanted)
                holdsDevice = true;
            else if (!ptyIndex.isEmpty() && text.endsWith("ptmx") &&
                     ptyMasterIndex(QString::number(pid), QString::fromLatin1(fd->d_name)) ==
                         ptyIndex)
                holdsFarEnd = true;
        }
        ::closedir(fds);
        if (holdsDevice && !holdsFarEnd)
            found = LockHolder{QString(), qint64(pid)};
    }
    ::closedir(proc);
    return found;
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
            .arg(holder.lockFile);
    return QStringLiteral("It is held by %1.").arg(holderName(holder));
}

} // namespace serial
