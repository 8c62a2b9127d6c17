#include "portaddress.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <algorithm>
#include <iterator>

#include "line.h"
#include "netline.h"
#include "portnames.h" // looksLikeNetAddress(), networkTarget()

namespace serial {

// The platform's serial line (line_unix.cpp, line_windows.cpp).
std::unique_ptr<Line> makeSerialLine(const QString &device);

namespace {

std::unique_ptr<Line> deviceLine(const PortAddress &address) {
    return makeSerialLine(address.written);
}

std::unique_ptr<Line> networkLine(const PortAddress &address) {
    return std::make_unique<NetLine>(address);
}

// Every kind of port there is; the device first.
const PortKindFacts kPortKinds[] = {
    {PortKind::Device, nullptr, true, deviceLine},
    {PortKind::Rfc2217, "rfc2217", true, networkLine},
    {PortKind::RawTcp, "tcp", false, networkLine},
};

PortAddress refuse(const QString &text, const QString &why) {
    PortAddress refused;
    refused.written = text;
    refused.error = QStringLiteral("\"%1\": %2").arg(text, why);
    return refused;
}

} // namespace

const PortKindFacts &PortAddress::facts() const {
    for (const PortKindFacts &facts : kPortKinds)
        if (facts.kind == kind)
            return facts;
    return kPortKinds[0];
}

QString PortAddress::text() const {
    if (kind == PortKind::Device)
        return written;
    const QString shownHost = host.contains(QLatin1Char(':')) ? "[" + host + "]" : host;
    return QStringLiteral("%1://%2:%3").arg(QLatin1String(facts().scheme), shownHost).arg(port);
}

QString addressForms() {
    QStringList forms;
    for (const PortKindFacts &facts : kPortKinds)
        if (facts.scheme)
            forms << QStringLiteral("%1://HOST:PORT").arg(QLatin1String(facts.scheme));
    const QString last = forms.takeLast();
    return forms.isEmpty() ? last
                           : forms.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

PortAddress portAddressOf(const QString &entry) {
    const QString address = networkTarget(entry);
    return parsePortAddress(address.isEmpty() ? entry : address);
}

// QUrl reads these too, but it takes paths, user names and queries as well and says only
// "invalid port" for both a missing and an out-of-range one: each mistake here gets its own
// sentence, and QUrl and QHostAddress still judge the host itself.
PortAddress parsePortAddress(const QString &text) {
    PortAddress address;
    address.written = text;
    if (!looksLikeNetAddress(text))
        return address;
    const qsizetype schemeEnd = text.indexOf(QStringLiteral("://"));
    const QString scheme = text.left(schemeEnd).toLower();
    const auto known =
        std::find_if(std::begin(kPortKinds), std::end(kPortKinds), [&](const PortKindFacts &facts) {
            return facts.scheme && scheme == QLatin1String(facts.scheme);
        });
    if (known == std::end(kPortKinds))
        return refuse(text, QStringLiteral("unknown kind of network port \"%1\"; use %2")
                                .arg(text.left(schemeEnd), addressForms()));
    address.kind = known->kind;

    const QString rest = text.mid(schemeEnd + 3);
    QString host;
    QString afterHost;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return refuse(text, QStringLiteral("the IPv6 address has no closing bracket"));
        host = rest.mid(1, close - 1);
        const QHostAddress literal(host);
        if (host.isEmpty())
            return refuse(text, QStringLiteral("the host is missing"));
        if (literal.protocol() != QAbstractSocket::IPv6Protocol)
            return refuse(text, QStringLiteral("\"[%1]\" is not an IPv6 address").arg(host));
        afterHost = rest.mid(close + 1);
    } else {
        const qsizetype colon = rest.indexOf(QLatin1Char(':'));
        if (colon >= 0 && rest.indexOf(QLatin1Char(':'), colon + 1) >= 0)
            return refuse(text, QStringLiteral("an IPv6 address goes in brackets, as in "
                                               "%1://[::1]:3005")
                                    .arg(scheme));
        host = colon < 0 ? rest : rest.left(colon);
        afterHost = colon < 0 ? QString() : rest.mid(colon);
        const qsizetype slash = host.indexOf(QLatin1Char('/'));
        if (slash >= 0) {
            afterHost = host.mid(slash);
            host = host.left(slash);
        }
        if (host.isEmpty())
            return refuse(text, QStringLiteral("the host is missing"));
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv4Protocol &&
            QUrl::toAce(host, QUrl::AceTransitionalProcessing).isEmpty())
            return refuse(text, QStringLiteral("\"%1\" is not a host name").arg(host));
    }
    address.host = host;

    if (afterHost.isEmpty() || afterHost == QLatin1String(":")) {
        address.port = 3005;
        return refuse(text, QStringLiteral("the TCP port is missing; write it after the host, "
                                           "as in %1")
                                .arg(address.text()));
    }
    if (!afterHost.startsWith(QLatin1Char(':')))
        return refuse(text, QStringLiteral("nothing may follow the host but \":PORT\""));
    // \z, not $: a newline after the digits is no part of a port number.
    static const QRegularExpression digits(QRegularExpression::anchoredPattern(u"[0-9]+"));
    const QString portText = afterHost.mid(1);
    if (!digits.match(portText).hasMatch()) {
        if (portText.contains(QLatin1Char('/')) &&
            digits.match(portText.left(portText.indexOf(QLatin1Char('/')))).hasMatch())
            return refuse(text, QStringLiteral("nothing may follow the port number"));
        return refuse(text, QStringLiteral("the TCP port \"%1\" is not a number").arg(portText));
    }
    bool ok = false;
    const qlonglong port = portText.size() > 6 ? -1 : portText.toLongLong(&ok);
    if (!ok || port < 1 || port > 65535)
        return refuse(text,
                      QStringLiteral("the TCP port must be from 1 to 65535, not %1").arg(portText));
    address.port = quint16(port);
    return address;
}

} // namespace serial
