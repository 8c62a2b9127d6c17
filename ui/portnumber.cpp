#include "portnumber.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isDigit(QChar c) {
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

} // namespace

double leadingNumber(const QString &text) {
    // The number is gathered into plain ASCII and converted by std::from_chars, which,
    // unlike strtod, does not follow the process locale's decimal separator.
    std::string mantissa;
    std::string exponent;
    bool negative = false;
    bool seenPoint = false;
    bool seenDigit = false;
    enum class Stage { Sign, Mantissa, ExponentSign, Exponent } stage = Stage::Sign;

    for (const QChar c : text) {
        if (isBlank(c))
            continue;
        if (stage == Stage::Sign) {
            stage = Stage::Mantissa;
            if (c == u'+' || c == u'-') {
                negative = c == u'-';
                continue;
            }
        }
        if (stage == Stage::Mantissa) {
            if (isDigit(c)) {
                mantissa += char(c.unicode());
                seenDigit = true;
            } else if (c == u'.' && !seenPoint) {
                mantissa += '.';
                seenPoint = true;
            } else if (seenDigit && (c.toUpper() == u'E' || c.toUpper() == u'D')) {
                stage = Stage::ExponentSign;
            } else {
                break;
            }
            continue;
        }
        if (stage == Stage::ExponentSign) {
            stage = Stage::Exponent;
            if (c == u'+' || c == u'-') {
                if (c == u'-')
                    exponent += '-';
                continue;
            }
        }
        if (!isDigit(c))
            break;
        exponent += char(c.unicode());
    }

    if (!seenDigit)
        return 0.0;
    std::string number = mantissa;
    if (!exponent.empty() && exponent != "-")
        number += "e" + exponent;

    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
        // Either too large or too small for a double: decide by the sign of the exponent.
        const bool tiny = !exponent.empty() && exponent.front() == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (error != std::errc()) {
        value = 0.0;
    }
    Q_UNUSED(end);
    return negative ? -value : value;
}

qint16 portNumberFromText(const QString &text) {
    const double value = leadingNumber(text);
    constexpr double lowest = std::numeric_limits<qint16>::min();
    constexpr double highest = std::numeric_limits<qint16>::max();
    if (value <= lowest)
        return std::numeric_limits<qint16>::min();
    if (value >= highest)
        return std::numeric_limits<qint16>::max();
    // The default rounding mode rounds halves to the even neighbour.
    return static_cast<qint16>(std::nearbyint(value));
}
