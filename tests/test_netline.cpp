// The port control on a network line, against a scripted Telnet server on 127.0.0.1: what
// crosses the connection each way, the speed change, and every way an open can fail.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "commport.h"
#include "netline.h"
#include "telnetserver.h"

namespace {

QByteArray hex(const char *text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// The port control as an update sets it up, on `address`.
void setUp(CommPort &port, const QString &address, const QString &settings = "4800,N,8,1") {
    port.setDevice(address);
    port.setSettings(settings);
    port.setDTREnable(true);
    port.setRTSEnable(true);
    port.setHandshaking(0);
}

// Waits as Send does: each pass ends on the line's input or after 1 ms, and processes
// events. True once the receive event has fired.
bool awaitReceive(CommPort &port, QSignalSpy &events, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (events.isEmpty() && clock.elapsed() < timeoutMs) {
        if (port.waitForInput(QDeadlineTimer(std::chrono::milliseconds(1))))
            port.takeInputNow();
        QCoreApplication::processEvents();
    }
    return !events.isEmpty();
}

// The COM-PORT-OPTION command codes the client sent, with the speeds of SET-BAUDRATE.
QStringList commandLog(const QList<ReceivedCommand> &commands) {
    QStringList out;
    for (const ReceivedCommand &c : commands)
        out << (c.code == 1 ? QStringLiteral("baud %1").arg(qFromBigEndian<quint32>(
                                  c.value.leftJustified(4, '\0').constData()))
                            : QStringLiteral("%1:%2").arg(c.code).arg(
                                  QString::fromLatin1(c.value.toHex())));
    return out;
}

// A server that answers every command as RFC 2217 asks, but confirms `code` with `value`
// instead (nothing, when empty) and sends `beside` after that confirmation.
TelnetScript confirming(quint8 code, std::optional<QByteArray> value, QByteArray beside = {}) {
    TelnetScript script;
    script.confirm = [=](quint8 got, const QByteArray &, const QByteArray &answer) {
        if (got != code)
            return answer;
        if (!value)
            return beside;
        QByteArray own = hex("FFFA2C") + char(code + 100) + *value + hex("FFF0");
        return (value->isEmpty() ? QByteArray() : own) + beside;
    };
    return script;
}

} // namespace

class TestNetLine : public QObject {
    Q_OBJECT

private slots:
    // One frame out, one reply back, the reply written by the server as the row says.
    // The reply event fires at the reply's own length, with exactly its bytes.
    void exchange_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("wireOut"); // what the frame must look like on the wire
        QTest::addColumn<QByteArray>("wireIn");  // what the server answers
        QTest::addColumn<QByteArray>("reply");   // what the tool must read
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<QByteArray>("answers"); // Telnet answers the client owes
        // What the server sends while the line is set up: a raw server's bytes before the
        // first frame, or data beside an rfc2217 server's speed confirmation.
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QByteArray>("early");

        QTest::newRow("0xFF both ways") << hex("0F0F0001FF04") << hex("0F0F0001FFFF04")
                                        << hex("0F0F 0001 FFFF 0A0C FFFF 000000000000 3C 04 1D 04")
                                        << hex("0F0F 0001 FF 0A0C FF 000000000000 3C 04 1D 04") << 0
                                        << QByteArray() << "rfc2217" << QByteArray();
        QTest::newRow("a Telnet command inside a reply")
            << hex("0F0F0301000800F304") << hex("0F0F0301000800F304")
            << hex("0F0F FFF1 03 FFFD01 01 00F204") << hex("0F0F030100F204") << 0 << hex("FFFC01")
            << "rfc2217" << QByteArray();
        QTest::newRow("a subnegotiation split across segments")
            << hex("0F0F0301000800F304") << hex("0F0F0301000800F304")
            << hex("0F0F03 FFFA2C6A 00FFF0 0100F204") << hex("0F0F030100F204") << 2 << QByteArray()
            << "rfc2217" << QByteArray();
        QTest::newRow("a notice before the reply, each byte its own segment")
            << hex("0F0F0B01160800D604") << hex("0F0F0B01160800D604")
            << hex("FFFA2C6B30FFF0 0F0F0B0100F404") << hex("0F0F0B0100F404") << 1 << QByteArray()
            << "rfc2217" << QByteArray();
        // A late identification of an earlier session, and meter chatter: neither is the
        // reply to this session's first frame.
        const QByteArray staleVersion = hex("0F0F 0001 0415 3939 3939 3031 00 3C 04 1D 04");
        QTest::newRow("tcp: bytes before the first frame")
            << hex("0F0F0001FF04") << hex("0F0F0001FF04")
            << hex("0F0F 0001 FF 0A0C FF 000000000000 3C 04 1D 04")
            << hex("0F0F 0001 FF 0A0C FF 000000000000 3C 04 1D 04") << 0 << QByteArray() << "tcp"
            << staleVersion;
        QTest::newRow("rfc2217: data beside the speed confirmation")
            << hex("0F0F0001FF04") << hex("0F0F0001FFFF04")
            << hex("0F0F 0001 FFFF 0A0C FFFF 000000000000 3C 04 1D 04")
            << hex("0F0F 0001 FF 0A0C FF 000000000000 3C 04 1D 04") << 4 << QByteArray()
            << "rfc2217" << staleVersion + "RS 12.5 kV";
    }
    void exchange() {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, wireOut);
        QFETCH(QByteArray, wireIn);
        QFETCH(QByteArray, reply);
        QFETCH(int, pieceSize);
        QFETCH(QByteArray, answers);
        QFETCH(QString, scheme);
        QFETCH(QByteArray, early);

        TelnetScript script;
        if (scheme == "tcp") {
            script.negotiation = TelnetScript::Negotiation::RawOnly;
            script.greeting = early;
        } else if (!early.isEmpty()) {
            script = confirming(1, hex("000012C0"), early);
        }
        script.pieceSize = pieceSize;
        const qsizetype frameSize = frame.size();
        script.peer = [=](QByteArray &pending) {
            if (pending.size() < frameSize)
                return QByteArray();
            pending.remove(0, frameSize);
            return wireIn;
        };
        TelnetServer server(script);
        CommPort port;
        setUp(port, server.address(scheme.toLatin1().constData()));
        QVERIFY2(port.open(), qPrintable(port.lastError().reason));
        QSignalSpy events(&port, &CommPort::commEvent);
        const QByteArray before = server.wire();
        port.setRThreshold(int(reply.size()));
        QVERIFY(port.output(frame));
        QVERIFY(awaitReceive(port, events));
        QCOMPARE(port.input().toHex(' '), reply.toHex(' '));
        QCOMPARE(events.size(), 1);
        QCOMPARE(server.data().right(frameSize).toHex(' '), frame.toHex(' '));
        // Nothing else follows: no stray byte from the Telnet commands.
        QTest::qWait(50);
        port.takeInputNow();
        QCOMPARE(port.input().toHex(' '), QByteArray());
        QByteArray sent = server.wire().mid(before.size());
        QVERIFY2(sent.startsWith(wireOut), sent.toHex(' ').constData());
        QCOMPARE(sent.mid(wireOut.size()).toHex(' '), answers.toHex(' '));
        port.close();
    }

    // The settings an update asks for reach the server in order, and the speed change of
    // the remote start waits until the bytes written at the old speed have had their line
    // time: a frame of 26 bytes at 2400 baud takes 108 ms on the far line.
    void settingsAndSpeedChange() {
        TelnetServer server(TelnetScript{});
        CommPort port;
        setUp(port, server.address(), "2400,N,8,1");
        QVERIFY2(port.open(), qPrintable(port.lastError().reason));
        QTRY_COMPARE(
            commandLog(server.commands()),
            QStringList({"baud 2400", "2:08", "3:01", "4:01", "5:01", "5:08", "5:0b", "12:03"}));
        const QByteArray start = hex("000000000000000000000000000000000000FEFE3300424C3FFD");
        QElapsedTimer clock;
        clock.start();
        QVERIFY(port.output(start));
        QVERIFY2(port.setSettings("4800,N,8,1"), qPrintable(port.lastError().reason));
        QVERIFY2(clock.elapsed() >= 108, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE(commandLog(server.commands()).last(), QStringLiteral("baud 4800"));
        // The frame went before the change, on the wire.
        const QByteArray wire = server.wire();
        QVERIFY(wire.indexOf(start) >= 0);
        QVERIFY(wire.indexOf(start) < wire.lastIndexOf(hex("FFFA2C01000012C0FFF0")));
        // The same speed again changes nothing and is not sent.
        QVERIFY(port.setSettings("4800,N,8,1"));
        QTest::qWait(20);
        QCOMPARE(commandLog(server.commands()).count("baud 4800"), 1);
        port.close();
    }

    // tcp:// carries the bytes as they are: no Telnet, 0xFF single.
    void rawTcp() {
        TelnetScript script;
        script.negotiation = TelnetScript::Negotiation::RawOnly;
        script.peer = [](QByteArray &pending) {
            if (pending.size() < 6)
                return QByteArray();
            pending.clear();
            return hex("0F0F0001FF0A0CFF0000000000003C041D04");
        };
        TelnetServer server(script);
        CommPort port;
        setUp(port, server.address("tcp"));
        QVERIFY2(port.open(), qPrintable(port.lastError().reason));
        QVERIFY(port.setSettings("2400,N,8,1")); // nothing to carry it: accepted, not sent
        QSignalSpy events(&port, &CommPort::commEvent);
        port.setRThreshold(18);
        QVERIFY(port.output(hex("0F0F0001FF04")));
        QVERIFY(awaitReceive(port, events));
        QCOMPARE(port.input(), hex("0F0F0001FF0A0CFF0000000000003C041D04"));
        QCOMPARE(server.wire().toHex(' '), hex("0F0F0001FF04").toHex(' '));
        port.close();
    }

    // Every way an open fails, with the port control's code and the exact words.
    void openFailure_data() {
        QTest::addColumn<int>("negotiation");
        QTest::addColumn<QString>("address"); // %1: the server's TCP port
        QTest::addColumn<bool>("occupied");   // another client holds the server first
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("holder");
        QTest::addColumn<int>("connections"); // how many reached the server
        // How the server departs from RFC 2217's answers: a setting confirmed otherwise,
        // one never confirmed, requests sent without end while nothing is read.
        QTest::addColumn<QString>("tweak");

        const int accept = int(TelnetScript::Negotiation::Accept);
        QTest::newRow("server refuses COM-PORT-OPTION")
            << int(TelnetScript::Negotiation::Refuse) << "rfc2217://127.0.0.1:%1" << false
            << int(serial::LineFault::Unusable)
            << "rfc2217://127.0.0.1:%1 refused remote serial port control (the Telnet "
               "COM-PORT-OPTION of RFC 2217): it serves plain Telnet or raw TCP only"
            << "" << 1 << "";
        QTest::newRow("server never answers the negotiation")
            << int(TelnetScript::Negotiation::Silent) << "rfc2217://127.0.0.1:%1" << false
            << int(serial::LineFault::Unusable)
            << "rfc2217://127.0.0.1:%1 did not answer the negotiation for remote serial port "
               "control within 3 s"
            << "" << 1 << "";
        QTest::newRow("server serves another client")
            << accept << "rfc2217://127.0.0.1:%1" << true << int(serial::LineFault::InUse)
            << "rfc2217://127.0.0.1:%1 serves another client: Port already in use"
            << "Port already in use" << 2 << "";
        QTest::newRow("malformed address: no connection")
            << accept << "rfc2217://127.0.0.1:%1/ttyS0" << false << int(serial::LineFault::Missing)
            << "\"rfc2217://127.0.0.1:%1/ttyS0\": nothing may follow the port number"
            << "" << 0 << "";
        QTest::newRow("other scheme: no connection")
            << accept << "telnet://127.0.0.1:%1" << false << int(serial::LineFault::Missing)
            << "\"telnet://127.0.0.1:%1\": unknown kind of network port \"telnet\"; use "
               "rfc2217://HOST:PORT or tcp://HOST:PORT"
            << "" << 0 << "";
        const QString settings = "rfc2217://127.0.0.1:%1";
        QTest::newRow("server confirms 7 data bits for 8")
            << accept << settings << false << int(serial::LineFault::Settings)
            << "rfc2217://127.0.0.1:%1 set the line to 7 data bits instead of 8"
            << "" << 1 << "7 data bits";
        QTest::newRow("server confirms the speed and nothing else")
            << accept << settings << false << int(serial::LineFault::Settings)
            << "rfc2217://127.0.0.1:%1 did not confirm the data size of the line within 3 s"
            << "" << 1 << "speed only";
        QTest::newRow("server sends requests without reading the answers")
            << accept << settings << false << int(serial::LineFault::Unusable)
            << "rfc2217://127.0.0.1:%1 kept sending Telnet requests during the negotiation "
               "(more than 64 KiB of answers owed or waiting to be sent)"
            << "" << 1 << "flood";
    }
    void openFailure() {
        QFETCH(int, negotiation);
        QFETCH(QString, address);
        QFETCH(bool, occupied);
        QFETCH(int, code);
        QFETCH(QString, reason);
        QFETCH(QString, holder);
        QFETCH(int, connections);
        QFETCH(QString, tweak);

        TelnetScript script;
        if (tweak == "7 data bits")
            script = confirming(2, QByteArray(1, 7));
        if (tweak == "speed only")
            script.confirm = [](quint8 code, const QByteArray &, const QByteArray &answer) {
                return code == 1 ? answer : QByteArray();
            };
        script.flood = tweak == "flood";
        script.negotiation = TelnetScript::Negotiation(negotiation);
        TelnetServer server(script);
        const QString text = address.arg(server.port());
        CommPort first;
        if (occupied) {
            setUp(first, text);
            QVERIFY2(first.open(), qPrintable(first.lastError().reason));
        }
        CommPort port;
        setUp(port, text);
        QVERIFY(!port.open());
        QVERIFY(!port.isOpen());
        QCOMPARE(int(port.lastError().fault), code);
        QCOMPARE(port.lastError().reason, reason.arg(server.port()));
        QCOMPARE(port.lastError().holder, holder);
        QCOMPARE(server.connections(), connections);
        // Nothing but the negotiation went out: no frame, no setting after a refusal.
        if (negotiation != int(TelnetScript::Negotiation::Accept))
            QVERIFY(server.commands().isEmpty());
    }

    // Nobody listens, or the name does not resolve: the port is missing, as a device that
    // is not there.
    void unreachable_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reasonStart");
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString closed = QStringLiteral("rfc2217://127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        QTest::newRow("connection refused") << closed << closed + ": ";
        QTest::newRow("unknown host") << "rfc2217://no-such-meter.invalid:3005"
                                      << "rfc2217://no-such-meter.invalid:3005: ";
    }
    void unreachable() {
        QFETCH(QString, address);
        QFETCH(QString, reasonStart);
        CommPort port;
        setUp(port, address);
        QVERIFY(!port.open());
        QCOMPARE(port.lastError().fault, serial::LineFault::Missing);
        QVERIFY2(port.lastError().reason.startsWith(reasonStart),
                 qPrintable(port.lastError().reason));
    }

    // The server goes away in the middle of a wait: the loss is told once, from the event
    // loop, and the next open on the same control works.
    void dropped() {
        TelnetServer server(TelnetScript{});
        CommPort port;
        setUp(port, server.address());
        QVERIFY2(port.open(), qPrintable(port.lastError().reason));
        QSignalSpy lost(&port, &CommPort::deviceLost);
        QSignalSpy events(&port, &CommPort::commEvent);
        port.setRThreshold(5);
        QVERIFY(port.output(hex("0F0F0301000800F304")));
        server.dropClient();
        QVERIFY(!awaitReceive(port, events, 500));
        QCOMPARE(lost.size(), 1);
        QVERIFY(!port.isOpen());
        QVERIFY2(port.open(), qPrintable(port.lastError().reason));
        QCOMPARE(server.connections(), 2);
        port.close();
    }
};

QTEST_MAIN(TestNetLine)
#include "test_netline.moc"
