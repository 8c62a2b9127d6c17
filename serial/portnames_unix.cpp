// Port numbers on Unix: the port directory's entries, resolved one opened directory at a
// time (openat with O_NOFOLLOW, each level checked with fstat), so that another user who
// swaps a directory while the tool looks cannot make it look at one thing and open another.
#include "portnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#ifdef __linux__
#include <linux/major.h>
#endif

#include "pseudoterminal_unix.h"
#include "showntext.h"

namespace serial {

namespace {

// Links followed in one resolution before it counts as a loop, as the kernel counts them.
constexpr int kMostLinks = 40;

// A directory is opened to look into it, not to list it: passing through is permission
// enough, as for a path the kernel follows.
#ifdef O_PATH
constexpr int kLookInto = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLookInto = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int m_fd;
};

QString shown(const QString &path) {
    return shownText(path.isEmpty() ? QStringLiteral("/") : path, kShownPathLength);
}

QString ownerName(uid_t uid) {
    if (const passwd *user = ::getpwuid(uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(uid);
}

bool ours(uid_t uid) {
    return uid == ::geteuid() || uid == 0;
}

QString modeText(mode_t mode) {
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
}

// Why a level of the configuration tree (`st`, found at `path`) must not be trusted.
QString distrustOwn(const QString &path, const struct stat &st) {
    if (!ours(st.st_uid))
        return QStringLiteral("%1 belongs to user %2, who could lead the port to a device "
                              "of their own; remove it and map the port again "
                              "(zarvo-flash --map)")
            .arg(shown(path), shownText(ownerName(st.st_uid)));
    if (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)))
        return QStringLiteral("%1 may be changed by other users (mode %2), who could lead the "
                              "port to a device of their own; make it yours alone: chmod go-w %3")
            .arg(shown(path), modeText(st.st_mode), shown(path));
    return {};
}

// Why a directory on a link target's way (`st`, at `path`) could let another user put a
// file of his own where the target is: "PATH, which ..." or empty.
QString distrustWay(const QString &path, const struct stat &st) {
    if (!ours(st.st_uid))
        return QStringLiteral("%1, which belongs to user %2")
            .arg(shown(path), shownText(ownerName(st.st_uid)));
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("%1, which other users may write to (mode %2)")
            .arg(shown(path), modeText(st.st_mode));
    return {};
}

QString parentOf(const QString &path) {
    return path.left(qMax<qsizetype>(path.lastIndexOf(QLatin1Char('/')), 0));
}

DeviceIdentity identityOf(const struct stat &st) {
    return {true, quint64(st.st_dev), quint64(st.st_ino), quint64(st.st_rdev)};
}

// A directory of the configuration tree, opened level by level from the start of the walk.
struct OwnDirectory {
    Fd fd;
    QString path;
    QString problem;      // a level that must not be trusted, named
    bool missing = false; // a level is not there (or is no directory): nothing below it
};

// Opens `path`, at or below the user's configuration directory, from the home directory
// down when the configuration directory is below it (else from the configuration directory
// itself): every level must be this user's or root's and nobody else's to write. A link
// of ours on the way is followed; the directory it reaches is checked like any other.
OwnDirectory openOwnDirectory(const QString &path) {
    const QString base = QFileInfo(QFileInfo(portDirectory()).path()).path();
    const QString home = QDir::cleanPath(QDir::homePath());
    const QString start = base.startsWith(home + QLatin1Char('/')) ? home : base;
    OwnDirectory dir;
    dir.path = start;
    if (path != start && !path.startsWith(start + QLatin1Char('/'))) {
        dir.missing = true;
        return dir;
    }
    dir.fd = Fd(::open(QFile::encodeName(start).constData(), kLookInto));
    struct stat st {};
    if (!dir.fd.valid() || ::fstat(dir.fd.get(), &st) != 0) {
        dir.missing = true;
        return dir;
    }
    if ((dir.problem = distrustOwn(start, st)).isEmpty() == false)
        return dir;
    for (const QString &name : path.mid(start.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QString next = dir.path + QLatin1Char('/') + name;
        const QByteArray encoded = QFile::encodeName(name);
        struct stat link {};
        if (::fstatat(dir.fd.get(), encoded.constData(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
            dir.missing = true;
            return dir;
        }
        if (S_ISLNK(link.st_mode) && !(dir.problem = distrustOwn(next, link)).isEmpty())
            return dir;
        const int follow = S_ISLNK(link.st_mode) ? 0 : O_NOFOLLOW;
        Fd level(::openat(dir.fd.get(), encoded.constData(),
                          kLookInto | follow));
        if (!level.valid() || ::fstat(level.get(), &st) != 0) {
            dir.missing = true;
            return dir;
        }
        if (!(dir.problem = distrustOwn(next, st)).isEmpty())
            return dir;
        dir.fd = std::move(level);
        // Past a link the name is where it leads, so that a relative link text below (..)
        // is named as the directories it passes; the open file is still the one checked.
        dir.path = S_ISLNK(link.st_mode) ? QFileInfo(next).canonicalFilePath() : next;
        if (dir.path.isEmpty())
            dir.path = next;
    }
    return dir;
}

// Where a link's text leads, followed from the opened directory `fromFd` (named `fromPath`)
// one level at a time; every directory it passes is checked as it is opened.
struct Reached {
    QString path;    // the file reached (or the first name that is not there), without links
    struct stat st {};
    bool found = false;
    QString through; // a directory on the way another user could change: distrustWay()
};

Reached follow(int fromFd, const QString &fromPath, const QString &text) {
    Reached reached;
    Fd cur(fromFd == AT_FDCWD ? ::open(".", kLookInto) : ::fcntl(fromFd, F_DUPFD_CLOEXEC, 0));
    QString curPath = fromPath;
    QStringList queue;
    int links = 0;
    // Starts again at the root for an absolute text.
    const auto take = [&](const QString &more) {
        queue = more.split(QLatin1Char('/'), Qt::SkipEmptyParts) + queue;
        if (!more.startsWith(QLatin1Char('/')))
            return true;
        cur = Fd(::open("/", kLookInto));
        curPath.clear();
        struct stat st {};
        if (!cur.valid() || ::fstat(cur.get(), &st) != 0)
            return false;
        reached.through = distrustWay(curPath, st);
        return reached.through.isEmpty();
    };
    if (!take(text))
        return reached;
    while (!queue.isEmpty()) {
        const QString name = queue.takeFirst();
        if (name == QLatin1String("."))
            continue;
        const QString path = name == QLatin1String("..") ? parentOf(curPath)
                                                          : curPath + QLatin1Char('/') + name;
        reached.path = path;
        const QByteArray encoded = QFile::encodeName(name);
        struct stat st {};
        if (!cur.valid() || ::fstatat(cur.get(), encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return reached;
        if (S_ISLNK(st.st_mode)) {
            char buffer[PATH_MAX];
            const ssize_t size =
                ::readlinkat(cur.get(), encoded.constData(), buffer, sizeof buffer);
            if (++links > kMostLinks || size <= 0 || size >= ssize_t(sizeof buffer))
                return reached;
            if (!take(QFile::decodeName(QByteArray(buffer, size))))
                return reached;
            continue;
        }
        if (queue.isEmpty() && name != QLatin1String("..")) {
            reached.st = st;
            reached.found = true;
            return reached;
        }
        if (!S_ISDIR(st.st_mode))
            return reached;
        Fd next(::openat(cur.get(), encoded.constData(),
                         kLookInto | O_NOFOLLOW));
        if (!next.valid() || ::fstat(next.get(), &st) != 0)
            return reached;
        if (!(reached.through = distrustWay(path, st)).isEmpty())
            return reached;
        cur = std::move(next);
        curPath = path;
    }
    reached.path = curPath.isEmpty() ? QStringLiteral("/") : curPath;
    reached.found = cur.valid() && ::fstat(cur.get(), &reached.st) == 0;
    return reached;
}

void takeReached(PortTarget &target, const Reached &reached) {
    if (!reached.found)
        return;
    target.device = reached.path;
    target.identity = identityOf(reached.st);
    target.characterDevice = S_ISCHR(reached.st.st_mode);
}

} // namespace

QString devicePath(int port) {
    if (port < 1)
        return {};
    const QString entry = portEntry(port);
    const QFileInfo info(entry);
    // A link whose device is gone still names this port: opening it then reports the
    // port as missing rather than quietly reaching some other device.
    if (info.exists() || info.isSymLink())
        return entry;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

PortTarget resolvePort(int port) {
    PortTarget target;
    if (port < 1)
        return target;
    target.entry = portEntry(port);
    const QByteArray encoded = QFile::encodeName(QFileInfo(target.entry).fileName());
    const OwnDirectory dir = openOwnDirectory(portDirectory());
    if (!dir.problem.isEmpty()) {
        target.problem = dir.problem;
        return target;
    }
    struct stat st {};
    if (dir.missing || ::fstatat(dir.fd.get(), encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // No entry: the computer's own serial port.
        target.entry = QStringLiteral("/dev/ttyS%1").arg(port - 1);
        takeReached(target, follow(AT_FDCWD, QString(), target.entry));
        return target;
    }
    if (!(target.problem = distrustOwn(target.entry, st)).isEmpty())
        return target;
    if (!S_ISLNK(st.st_mode)) {
        target.device = target.entry;
        target.identity = identityOf(st);
        target.characterDevice = S_ISCHR(st.st_mode);
        return target;
    }
    char buffer[PATH_MAX];
    const ssize_t size = ::readlinkat(dir.fd.get(), encoded.constData(), buffer, sizeof buffer);
    if (size <= 0 || size >= ssize_t(sizeof buffer))
        return target;
    target.linkText = QFile::decodeName(QByteArray(buffer, size));
    if (looksLikeNetAddress(target.linkText)) {
        target.address = target.linkText;
        return target;
    }
    const Reached reached = follow(dir.fd.get(), dir.path, target.linkText);
    if (!reached.through.isEmpty()) {
        target.problem =
            QStringLiteral("COM%1 (%2) leads through %3: another user could put a device of "
                           "their own where it leads; map the port to the device itself "
                           "(zarvo-flash --map %1 DEVICE)")
                .arg(port)
                .arg(shown(target.entry), reached.through);
        return target;
    }
    takeReached(target, reached);
    return target;
}

bool hasPortDirectory() {
    return true;
}

QString distrustPortEntry(const QString &path) {
    const OwnDirectory dir = openOwnDirectory(QFileInfo(path).path());
    if (!dir.problem.isEmpty() || dir.missing)
        return dir.problem;
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    struct stat st {};
    if (::fstatat(dir.fd.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {}; // nothing there: nothing to follow
    if (const QString why = distrustOwn(path, st); !why.isEmpty() || !S_ISLNK(st.st_mode))
        return why;
    // A directory reached through a link must be trusted as the directory it leads to too.
    const Fd followed(::openat(dir.fd.get(), name.constData(), kLookInto));
    if (followed.valid() && ::fstat(followed.get(), &st) == 0)
        return distrustOwn(path, st);
    return {};
}

QString distrustTarget(const QString &path) {
    const Reached reached = follow(AT_FDCWD, QDir::currentPath(), path);
    if (reached.through.isEmpty())
        return {};
    return QStringLiteral("%1 leads through %2: once it is gone, another user could put a "
                          "device of their own there; give the device itself (its name under "
                          "%3, or below /dev)")
        .arg(shown(path), reached.through, kByIdDirectory);
}

bool isPseudoTerminal(const struct stat &info, const QString &path) {
#ifdef __linux__
    if (S_ISCHR(info.st_mode)) {
        const unsigned type = major(info.st_rdev);
        return (type >= UNIX98_PTY_SLAVE_MAJOR &&
                type < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT) ||
               type == PTY_SLAVE_MAJOR;
    }
#else
    Q_UNUSED(info);
#endif
    return path.startsWith(QLatin1String("/dev/pts/")) ||
           path.startsWith(QLatin1String("/dev/ttyp"));
}

// A serial port, USB adapter or pseudo-terminal, as the kernel itself says: the device's
// class in sysfs is tty, or it is a pseudo-terminal's far end (which sysfs does not list).
// Only where there is no sysfs does asking the device decide, and a device that cannot be
// asked is refused. The controlling terminal, the console and the pseudo-terminal
// multiplexer are terminals no instrument is ever on.
QString notATerminal(const QString &device) {
    const QString shownDevice = shown(device);
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return QStringLiteral("%1: %2").arg(shownDevice,
                                            QString::fromLocal8Bit(std::strerror(errno)));
    const QString notOne = QStringLiteral("%1 is not a terminal device").arg(shownDevice);
    if (!S_ISCHR(st.st_mode))
        return notOne;
    const unsigned kind = major(st.st_rdev);
    const unsigned number = minor(st.st_rdev);
    if (kind == 5 && number <= 2) {
        static const char *const special[] = {"the controlling terminal", "the system console",
                                              "the pseudo-terminal multiplexer"};
        return QStringLiteral("%1 is %2, not a serial line").arg(shownDevice, special[number]);
    }
    const QString classLink = QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(kind).arg(number);
    if (QFileInfo(classLink).isSymLink()) {
        const QString subsystem = QFileInfo(QFileInfo(classLink).symLinkTarget()).fileName();
        return subsystem == QLatin1String("tty")
                   ? QString()
                   : QStringLiteral("%1 (a %2 device)").arg(notOne, subsystem);
    }
    if (isPseudoTerminal(st, device))
        return {};
    if (QFileInfo(QStringLiteral("/sys/dev/char")).isDir())
        return notOne;
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("cannot tell whether %1 is a terminal device: %2")
            .arg(shownDevice, QString::fromLocal8Bit(std::strerror(errno)));
    const bool terminal = ::isatty(fd);
    ::close(fd);
    return terminal ? QString() : notOne;
}

bool makePortDirectory(QString *error) {
    const QString directory = portDirectory();
    // Each missing level made 0700 whatever the umask; levels already there are left as
    // the user made them (the resolution refuses the ones others could write to).
    QString walked;
    for (const QString &name : directory.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walked += QLatin1Char('/') + name;
        const QByteArray path = QFile::encodeName(walked);
        if (::mkdir(path.constData(), 0700) == 0) {
            ::chmod(path.constData(), 0700);
            continue;
        }
        const int cause = errno;
        struct stat st {};
        if (cause == EEXIST && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        if (error)
            *error =
                QStringLiteral("cannot make the port directory %1: %2")
                    .arg(shown(directory),
                         QString::fromLocal8Bit(std::strerror(cause == EEXIST ? ENOTDIR : cause)));
        return false;
    }
    return true;
}

} // namespace serial
