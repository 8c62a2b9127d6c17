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

QString portEntry(int port) {
    return portDirectory() + QStringLiteral("/com%1").arg(port);
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

QString stableName(const QString &device, const QString &byIdDirectory) {
    const QString wanted = QFileInfo(device).canonicalFilePath();
    if (wanted.isEmpty())
        return {};
    const QDir dir(byIdDirectory);
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        if (entry.canonicalFilePath() == wanted)
            return entry.absoluteFilePath();
    return {};
}

} // namespace serial
