#include "netaddress.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>
#include <filesystem>
#include <system_error>

namespace serial {

namespace {

const QString kRfc2217Scheme = QStringLiteral("rfc2217");
const QString kRawTcpScheme = QStringLiteral("tcp");

ParsedNetAddress refuse(const QString &text, const QString &why) {
    return {std::nullopt, QStringLiteral("\"%1\": %2").arg(text, why)};
}

} // namespace

QString NetAddress::text() const {
    const QString scheme = kind == Kind::Rfc2217 ? kRfc2217Scheme : kRawTcpScheme;
    const QString shownHost = host.contains(QLatin1Char(':')) ? "[" + host + "]" : host;
    return QStringLiteral("%1://%2:%3").arg(scheme, shownHost).arg(port);
}

// QUrl reads these too, but it takes paths, user names and queries as well and says only
// "invalid port" for both a missing and an out-of-range one: each mistake here gets its own
// sentence, and QUrl and QHostAddress still judge the host itself.
ParsedNetAddress parseNetAddress(const QString &text) {
    const qsizetype schemeEnd = text.indexOf(QStringLiteral("://"));
    if (schemeEnd <= 0 || !looksLikeNetAddress(text))
        return refuse(text, QStringLiteral("not a network address; use rfc2217://HOST:PORT or "
                                           "tcp://HOST:PORT"));
    NetAddress address;
    const QString scheme = text.left(schemeEnd).toLower();
    if (scheme == kRfc2217Scheme)
        address.kind = NetAddress::Kind::Rfc2217;
    else if (scheme == kRawTcpScheme)
        address.kind = NetAddress::Kind::RawTcp;
    else
        return refuse(text, QStringLiteral("unknown kind of network port \"%1\"; use "
                                           "rfc2217://HOST:PORT or tcp://HOST:PORT")
                                .arg(text.left(schemeEnd)));

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
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
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
    return {address, {}};
}

} // namespace serial
