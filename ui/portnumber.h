// Reads the port number that the user types into the port box, the way BASIC reads a
// leading number from text, so that "7", " 3" or "2.5" mean what the user expects.
#pragma once

#include <QString>
#include <QtGlobal>

#include "portnumbers.h" // the limits the box and the list keep to

// The number at the start of the text: blanks (space, tab, line feed) are skipped, then an
// optional sign, digits with at most one decimal point, and an optional exponent ("E" or
// "D", with its own sign). Reading stops at the first character that cannot continue the
// number; text without a leading number gives 0. Values too large for a double give
// +/-infinity.
double leadingNumber(const QString &text);

// The port number a text gives: for a port name as the list shows it, "COM" and digits (any
// case, blanks allowed: "com 7"), those digits; for any other text leadingNumber(), rounded
// to the nearest integer, halves to the even neighbour ("2.5" is 2, "3.5" is 4, ".5" is 0).
// Held to the 16-bit range (serial::kHighestPort at the top) so that no typed text can
// overflow.
qint16 portNumberFromText(const QString &text);

// True for the beginning of a port name not yet followed by digits ("C", "co", "COM "): the
// user is still typing it, so the box must not take the text away.
bool beginsPortName(const QString &text);

// The text cut to what the box keeps (serial::kTypedPortDigits): a port name up to its
// second digit ("COM123" to "COM12"), the beginning of one as it is, any other text to its
// first 2 characters.
QString cutPortText(const QString &text);
