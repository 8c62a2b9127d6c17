#include "portnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

#include "showntext.h"

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace serial {

QString portDirectory() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    // Qt 6.4 passes a relative XDG_CONFIG_HOME through; it is no base directory and is
    // ignored like an unset one.
    if (QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/zarvo-update/ports");
}

QString devicePath(int port) {
    if (port < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    const QString entry = portDirectory() + QStringLiteral("/com%1").arg(port);
    const QFileInfo info(entry);
    // A link whose device is gone still names this port: opening it then reports the
    // port as missing rather than quietly reaching some other device.
    if (info.exists() || info.isSymLink())
        return entry;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

#ifndef Q_OS_WIN
namespace {

// The user's configuration directory: the port directory without its last two names.
QString configBase() {
    return QFileInfo(QFileInfo(portDirectory()).path()).path();
}

QString ownerName(uid_t uid) {
    if (const passwd *user = ::getpwuid(uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(uid);
}

QString distrustPath(const QString &path, bool directory) {
    const QByteArray name = QFile::encodeName(path);
    const QString shown = shownText(path, kShownPathLength);
    const uid_t us = ::geteuid();
    struct stat own {};
    if (::lstat(name.constData(), &own) != 0)
        return {}; // nothing there: nothing to follow
    struct stat seen = own;
    // A directory reached through a link must be trusted both as the link and as the
    // directory it leads to.
    if (S_ISLNK(own.st_mode) && directory && ::stat(name.constData(), &seen) != 0)
        return {};
    for (const struct stat *st : {&own, &seen})
        if (st->st_uid != us && st->st_uid != 0)
            return QStringLiteral("%1 belongs to user %2, who could lead the port to a device "
                                  "of their own; remove it and map the port again "
                                  "(zarvo-flash --map)")
                .arg(shown, shownText(ownerName(st->st_uid)));
    if (!S_ISLNK(seen.st_mode) && (seen.st_mode & (S_IWGRP | S_IWOTH)))
        return QStringLiteral("%1 may be changed by other users (mode %2), who could lead the "
                              "port to a device of their own; make it yours alone: chmod go-w %3")
            .arg(shown)
            .arg(seen.st_mode & 07777, 4, 8, QLatin1Char('0'))
            .arg(shown);
    return {};
}

} // namespace
#endif

QString distrustPortEntry(const QString &path) {
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return {};
#else
    const QString base = configBase();
    if (!path.startsWith(base + QLatin1Char('/')))
        return {};
    // From the top down, so the first thing named is the one to mend first.
    const QStringList below = path.mid(base.size() + 1).split(QLatin1Char('/'));
    QString walked = base;
    for (qsizetype i = 0; i < below.size(); ++i) {
        walked += QLatin1Char('/') + below[i];
        if (const QString why = distrustPath(walked, i + 1 < below.size()); !why.isEmpty())
            return why;
    }
    return {};
#endif
}

bool makePortDirectory(QString *error) {
    const QString directory = portDirectory();
#ifndef Q_OS_WIN
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
                    .arg(shownText(directory, kShownPathLength),
                         QString::fromLocal8Bit(std::strerror(cause == EEXIST ? ENOTDIR : cause)));
        return false;
    }
    return true;
#else
    if (QDir().mkpath(directory))
        return true;
    if (error)
        *error = QStringLiteral("cannot make the port directory %1").arg(directory);
    return false;
#endif
}

bool looksLikeNetAddress(const QString &text) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(text).hasMatch();
}

QString networkTarget(const QString &entry) {
    if (looksLikeNetAddress(entry))
        return entry;
    // The link's text as written: resolving it as a path would fold the "//" away.
    std::error_code error;
    const std::filesystem::path target =
        std::filesystem::read_symlink(QFile::encodeName(entry).toStdString(), error);
    if (error)
        return {};
    const QString text = QFile::decodeName(QByteArray::fromStdString(target.string()));
    return looksLikeNetAddress(text) ? text : QString();
}

} // namespace serial
