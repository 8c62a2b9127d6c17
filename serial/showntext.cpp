#include "showntext.h"

#include <algorithm>

namespace serial {

namespace {

bool hidden(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
        return true;
    switch (c) {
    case 0x061C: // Arabic letter mark
    case 0x200E: // left-to-right and right-to-left marks
    case 0x200F:
    case 0x2028: // line and paragraph separators
    case 0x2029:
        return true;
    default:
        break;
    }
    return (c >= 0x202A && c <= 0x202E) || // embeddings and overrides
           (c >= 0x2066 && c <= 0x2069);   // isolates
}

} // namespace

QString shownText(QStringView text, qsizetype limit) {
    QString shown;
    shown.reserve(std::min(text.size(), limit + 1));
    qsizetype kept = 0;
    bool cut = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        qsizetype units = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            units = 2;
        } else if (QChar::isSurrogate(c)) {
            continue;
        }
        if (hidden(c)) {
            i += units - 1;
            continue;
        }
        if (kept == limit) {
            cut = true;
            break;
        }
        shown += text.mid(i, units);
        ++kept;
        i += units - 1;
    }
    if (cut && limit > 0) {
        // The ellipsis takes the place of the last character kept, so the whole stays
        // within the limit.
        const qsizetype last = shown.size() >= 2 && shown.back().isLowSurrogate() ? 2 : 1;
        shown.chop(last);
        shown += QChar(0x2026);
    }
    return shown;
}

} // namespace serial
