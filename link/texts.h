// Texts that both front ends show, so that each is written once.
#pragma once

#include <QString>

namespace texts {
// No reply, or the line went away; each front end adds what to check below it.
inline const QString CommError = QStringLiteral("Error communicating with Port.");
// The message line of the window, and a line of zarvo-flash's, as these phases begin.
inline const QString StartingBootloader =
    QStringLiteral("Please wait.  Attempting to start bootloader.");
inline const QString Updating = QStringLiteral("Please wait.  ZARVO firmware is being updated.");
// The version of a meter that reports no installed firmware.
inline const QString NoFirmwareVersion = QStringLiteral("0000.00");

inline QString replaceQuestion(const QString &installed, const QString &replacement) {
    return QStringLiteral("Would you like to replace version ") + installed +
           QStringLiteral(" with ") + replacement + QLatin1Char('?');
}
} // namespace texts
