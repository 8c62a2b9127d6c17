#include "portnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

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
