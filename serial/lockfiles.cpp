#include "lockfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <signal.h>

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

QString processName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

} // namespace

// A lock file whose process still runs. Checked before Qt opens the port, because Qt
// treats any lock file older than half a minute without its own file lock as stale
// and would remove the lock of a live program that does not use Qt. The lock of a
// process that has ended is removed, as serial programs do; Qt itself would leave one
// it cannot read in place and refuse the port for it.
std::optional<LockHolder> liveLock(const QStringList &devicePaths) {
    const QStringList names = lockNames(devicePaths);
    QSet<QString> seenDirs;
    for (const QString &dir : lockDirectories()) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (real.isEmpty() || seenDirs.contains(real))
            continue;
        seenDirs.insert(real);
        for (const QString &name : names) {
            QFile file(real + QStringLiteral("/LCK..") + name);
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

QString heldByText(const QString &device, const LockHolder &holder) {
    const QString name = processName(holder.pid);
    const QString who = name.isEmpty()
                            ? QStringLiteral("process %1").arg(holder.pid)
                            : QStringLiteral("%1 (process %2)").arg(name).arg(holder.pid);
    return QStringLiteral("%1 is in use by %2 (lock file %3)").arg(device, who, holder.lockFile);
}

} // namespace serial
