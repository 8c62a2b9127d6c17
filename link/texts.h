// Texts the window shows from more than one place, so that each is written once.
#pragma once

#include <QString>

namespace texts {
inline const QString ExitCaption = QStringLiteral("Exit (ESC)");
inline const QString CancelCaption = QStringLiteral("Cancel (ESC)");
inline const QString ProgramCaption = QStringLiteral("Program (F4)");
inline const QString IdleStatus = QStringLiteral("For Help press F1");
// No reply, or the line went away; each front end adds what to check below it.
inline const QString CommError = QStringLiteral("Error communicating with Port.");
// The version panel for a meter that reports no installed firmware.
inline const QString NoFirmwareVersion = QStringLiteral("0000.00");
} // namespace texts
