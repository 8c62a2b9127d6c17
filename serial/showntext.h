// Text that comes from outside the tool (a holder's program name, a device or link name, a
// USB descriptor) made safe to put in front of a person: another user chooses it, and a
// newline, an escape sequence or a right-to-left override in it could forge or hide what
// the tool says.
#pragma once

#include <QString>
#include <QStringView>

namespace serial {

// Long enough for any honest program or product name.
inline constexpr qsizetype kShownNameLength = 64;
// Paths are kept whole far longer: a by-id name is often longer than a program name and
// is what the user has to type.
inline constexpr qsizetype kShownPathLength = 256;

// `text` without control characters (C0, DEL, C1), bidirectional formatting characters,
// line and paragraph separators and unpaired surrogates, cut to `limit` characters (code
// points) with a final "…" when longer. JSON output needs none of this: it escapes.
QString shownText(QStringView text, qsizetype limit = kShownNameLength);

} // namespace serial
