// Reads the port number that the user types into the port box, the way BASIC reads a
// leading number from text, so that "7", " 3" or "2.5" mean what the user expects.
#pragma once

#include <QString>
#include <QtGlobal>

// The number at the start of the text: blanks (space, tab, line feed) are skipped, then an
// optional sign, digits with at most one decimal point, and an optional exponent ("E" or
// "D", with its own sign). Reading stops at the first character that cannot continue the
// number; text without a leading number gives 0. Values too large for a double give
// +/-infinity.
double leadingNumber(const QString &text);

// leadingNumber() rounded to the nearest integer, halves to the even neighbour ("2.5" is 2,
// "3.5" is 4, ".5" is 0), and held to the 16-bit range so that no typed text can overflow.
qint16 portNumberFromText(const QString &text);
