#include "portnumber.h"

#include <QRegularExpression>

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

// "COM" and digits, blanks (the ones leadingNumber() skips: space, tab, line feed) allowed
// anywhere; the digits with their blanks are captured.
const QRegularExpression &portName() {
    static const QRegularExpression re(
        QStringLiteral("^[ \t\n]*c[ \t\n]*o[ \t\n]*m([ \t\n]*[0-9][0-9 \t\n]*)$"),
        QRegularExpression::CaseInsensitiveOption);
    return re;
}

const QRegularExpression &portNameBeginning() {
    static const QRegularExpression re(
        QStringLiteral("^[ \t\n]*c([ \t\n]*o([ \t\n]*m)?)?[ \t\n]*$"),
        QRegularExpression::CaseInsensitiveOption);
    return re;
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
    const QRegularExpressionMatch name = portName().match(text);
    const double value = leadingNumber(name.hasMatch() ? name.captured(1) : text);
    constexpr double lowest = std::numeric_limits<qint16>::min();
    constexpr double highest = serial::kHighestPort;
    if (value <= lowest)
        return std::numeric_limits<qint16>::min();
    if (value >= highest)
        return serial::kHighestPort;
    // The default rounding mode rounds halves to the even neighbour.
    return static_cast<qint16>(std::nearbyint(value));
}

bool beginsPortName(const QString &text) {
    return portNameBeginning().match(text).hasMatch();
}

QString cutPortText(const QString &text) {
    if (beginsPortName(text))
        return text;
    const QRegularExpressionMatch name = portName().match(text);
    if (!name.hasMatch())
        return text.left(serial::kTypedPortDigits);
    int digits = 0;
    for (qsizetype at = name.capturedStart(1); at < text.size(); ++at)
        if (isDigit(text[at]) && ++digits == serial::kTypedPortDigits)
            return text.left(at + 1);
    return text;
}
