// Network port addresses and the Telnet / remote serial port control codec, without a
// network: the bytes are hand-written vectors from RFC 854 and RFC 2217.
#include <QtTest>

#include "portaddress.h"
#include "portnames.h"
#include "telnet.h"

using serial::PortKind;
namespace telnet = serial::telnet;

namespace {

QByteArray hex(const char *text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

} // namespace

class TestTelnet : public QObject {
    Q_OBJECT

private slots:
    void address_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("telnet");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("error");

        QTest::newRow("rfc2217 name")
            << "rfc2217://site.example.net:3005" << true << "site.example.net" << 3005 << "";
        QTest::newRow("tcp IPv4") << "tcp://127.0.0.1:1" << false << "127.0.0.1" << 1 << "";
        QTest::newRow("scheme in capitals")
            << "RFC2217://meter:65535" << true << "meter" << 65535 << "";
        QTest::newRow("IPv6 in brackets") << "rfc2217://[::1]:3005" << true << "::1" << 3005 << "";
        QTest::newRow("IPv6 full")
            << "tcp://[2001:db8::7]:4001" << false << "2001:db8::7" << 4001 << "";
        QTest::newRow("no port") << "rfc2217://site.example.net" << true << "" << 0
                                 << "\"rfc2217://site.example.net\": the TCP port is missing; "
                                    "write it after the host, as in "
                                    "rfc2217://site.example.net:3005";
        QTest::newRow("colon, no port") << "tcp://meter:" << false << "" << 0
                                        << "\"tcp://meter:\": the TCP port is missing; write it "
                                           "after the host, as in tcp://meter:3005";
        QTest::newRow("IPv6, no port") << "rfc2217://[::1]" << true << "" << 0
                                       << "\"rfc2217://[::1]\": the TCP port is missing; write "
                                          "it after the host, as in rfc2217://[::1]:3005";
        QTest::newRow("port 0") << "rfc2217://meter:0" << true << "" << 0
                                << "\"rfc2217://meter:0\": the TCP port must be from 1 to 65535, "
                                   "not 0";
        QTest::newRow("port 65536") << "tcp://meter:65536" << false << "" << 0
                                    << "\"tcp://meter:65536\": the TCP port must be from 1 to "
                                       "65535, not 65536";
        QTest::newRow("port beyond any integer")
            << "tcp://meter:99999999999999999999" << false << "" << 0
            << "\"tcp://meter:99999999999999999999\": the TCP port must be from 1 to 65535, not "
               "99999999999999999999";
        QTest::newRow("port not a number") << "tcp://meter:ser2net" << false << "" << 0
                                           << "\"tcp://meter:ser2net\": the TCP port \"ser2net\" "
                                              "is not a number";
        QTest::newRow("empty host")
            << "rfc2217://:3005" << true << "" << 0 << "\"rfc2217://:3005\": the host is missing";
        QTest::newRow("empty brackets") << "rfc2217://[]:3005" << true << "" << 0
                                        << "\"rfc2217://[]:3005\": the host is missing";
        QTest::newRow("nothing after the scheme")
            << "tcp://" << false << "" << 0 << "\"tcp://\": the host is missing";
        QTest::newRow("other scheme") << "telnet://meter:23" << false << "" << 0
                                      << "\"telnet://meter:23\": unknown kind of network port "
                                         "\"telnet\"; use rfc2217://HOST:PORT or tcp://HOST:PORT";
        QTest::newRow("IPv6 without brackets")
            << "rfc2217://::1:3005" << true << "" << 0
            << "\"rfc2217://::1:3005\": an IPv6 address goes in brackets, as in "
               "rfc2217://[::1]:3005";
        QTest::newRow("not IPv6 in brackets") << "tcp://[meter]:3005" << false << "" << 0
                                              << "\"tcp://[meter]:3005\": \"[meter]\" is not an "
                                                 "IPv6 address";
        QTest::newRow("unclosed bracket") << "tcp://[::1:3005" << false << "" << 0
                                          << "\"tcp://[::1:3005\": the IPv6 address has no "
                                             "closing bracket";
        QTest::newRow("a path after the port") << "rfc2217://meter:3005/ttyS0" << true << "" << 0
                                               << "\"rfc2217://meter:3005/ttyS0\": nothing may "
                                                  "follow the port number";
        QTest::newRow("a newline after the port")
            << "tcp://meter:3005\n" << false << "" << 0
            << "\"tcp://meter:3005\n\": the TCP port \"3005\n\" is not a number";
        QTest::newRow("a blank in the host") << "tcp://my meter:3005" << false << "" << 0
                                             << "\"tcp://my meter:3005\": \"my meter\" is not a "
                                                "host name";
    }
    void address() {
        QFETCH(QString, text);
        QFETCH(bool, telnet);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, error);
        QVERIFY(serial::looksLikeNetAddress(text));
        const serial::PortAddress parsed = serial::parsePortAddress(text);
        QCOMPARE(parsed.error, error);
        QCOMPARE(parsed.valid(), error.isEmpty());
        QVERIFY(parsed.isNetwork());
        if (!parsed.valid())
            return;
        QCOMPARE(parsed.kind, telnet ? PortKind::Rfc2217 : PortKind::RawTcp);
        QCOMPARE(parsed.host, host);
        QCOMPARE(int(parsed.port), port);
        // The text it gives back reads the same again.
        const serial::PortAddress again = serial::parsePortAddress(parsed.text());
        QVERIFY(again.valid());
        QCOMPARE(again.host, host);
        QCOMPARE(int(again.port), port);
    }

    // Device paths and port numbers are no network addresses.
    void notAnAddress_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("device") << "/dev/ttyUSB0";
        QTest::newRow("relative device") << "ttyREMOTE";
        QTest::newRow("port name") << "COM5";
        QTest::newRow("a colon in a path") << "/tmp/a:b//c";
    }
    void notAnAddress() {
        QFETCH(QString, text);
        QVERIFY(!serial::looksLikeNetAddress(text));
        const serial::PortAddress parsed = serial::parsePortAddress(text);
        QVERIFY(parsed.valid() && !parsed.isNetwork());
        QCOMPARE(parsed.text(), text);
    }

    // What the client sends, against the RFCs' byte values written out by hand.
    void commands_data() {
        QTest::addColumn<QByteArray>("made");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("ReadVersion with its 0xFF doubled")
            << telnet::escape(hex("0F0F0001FF04")) << hex("0F0F0001FFFF04");
        QTest::newRow("two 0xFF in a row") << telnet::escape(hex("FFFF")) << hex("FFFFFFFF");
        QTest::newRow("data without 0xFF unchanged")
            << telnet::escape(hex("0F0F0A01000800ED04")) << hex("0F0F0A01000800ED04");
        QTest::newRow("opening offers, serial control")
            << telnet::Client().start(true) << hex("FFFB00 FFFD00 FFFD03 FFFB2C");
        QTest::newRow("opening offers, raw")
            << telnet::Client().start(false) << hex("FFFB00 FFFD00 FFFD03");
        QTest::newRow("SET-BAUDRATE 2400")
            << telnet::setBaudrate(2400) << hex("FFFA2C01 00000960 FFF0");
        QTest::newRow("SET-BAUDRATE 4800")
            << telnet::setBaudrate(4800) << hex("FFFA2C01 000012C0 FFF0");
        QTest::newRow("SET-BAUDRATE with 0xFF in the value")
            << telnet::setBaudrate(0xFF00FF) << hex("FFFA2C01 00FFFF00FFFF FFF0");
        QTest::newRow("SET-DATASIZE 8")
            << telnet::setDatasize(telnet::kDatasize8) << hex("FFFA2C0208FFF0");
        QTest::newRow("SET-PARITY none")
            << telnet::setParity(telnet::kParityNone) << hex("FFFA2C0301FFF0");
        QTest::newRow("SET-STOPSIZE 1")
            << telnet::setStopsize(telnet::kStopsize1) << hex("FFFA2C0401FFF0");
        QTest::newRow("SET-CONTROL no flow control")
            << telnet::setControl(telnet::kControlNoFlow) << hex("FFFA2C0501FFF0");
        QTest::newRow("SET-CONTROL DTR on")
            << telnet::setControl(telnet::kControlDtrOn) << hex("FFFA2C0508FFF0");
        QTest::newRow("SET-CONTROL RTS on")
            << telnet::setControl(telnet::kControlRtsOn) << hex("FFFA2C050BFFF0");
        QTest::newRow("PURGE-DATA both")
            << telnet::purgeData(telnet::kPurgeBoth) << hex("FFFA2C0C03FFF0");
    }
    void commands() {
        QFETCH(QByteArray, made);
        QFETCH(QByteArray, expected);
        QCOMPARE(made.toHex(' '), expected.toHex(' '));
    }

    // What the server sends, taken apart. Each row is fed as written, split where the row
    // splits it ('|'), and once more one byte at a time: the outcome must not depend on
    // where the reads of the connection happened to end.
    void receive_data() {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<int>("comPort"); // Client::ComPortState
        QTest::addColumn<int>("baud");    // -1: none confirmed
        QTest::addColumn<int>("lineState");

        const int asked = int(telnet::Client::ComPortState::Asked);
        const int accepted = int(telnet::Client::ComPortState::Accepted);
        const int refused = int(telnet::Client::ComPortState::Refused);

        QTest::newRow("plain reply") << QByteArray("0F0F 0301 00 F2 04") << hex("0F0F030100F204")
                                     << QByteArray() << asked << -1 << 0;
        QTest::newRow("0xFF in a reply, doubled")
            << QByteArray("0F0F 0001 FFFF 04") << hex("0F0F0001FF04") << QByteArray() << asked << -1
            << 0;
        QTest::newRow("doubled 0xFF split between reads")
            << QByteArray("0F0F0001FF|FF04") << hex("0F0F0001FF04") << QByteArray() << asked << -1
            << 0;
        QTest::newRow("NOP inside a reply")
            << QByteArray("0F0F FFF1 0301 00 FFF9 F204") << hex("0F0F030100F204") << QByteArray()
            << asked << -1 << 0;
        QTest::newRow("data mark and a stray SE")
            << QByteArray("0F FFF2 0F FFF0 04") << hex("0F0F04") << QByteArray() << asked << -1
            << 0;
        QTest::newRow("server accepts COM-PORT-OPTION")
            << QByteArray("FFFD2C") << QByteArray() << QByteArray() << accepted << -1 << 0;
        QTest::newRow("server refuses COM-PORT-OPTION")
            << QByteArray("FFFE2C") << QByteArray() << QByteArray() << refused << -1 << 0;
        QTest::newRow("accepted, later withdrawn")
            << QByteArray("FFFD2C 0F FFFE2C") << hex("0F") << hex("FFFC2C") << refused << -1 << 0;
        QTest::newRow("options the client does not take are refused")
            << QByteArray("FFFB01 FFFD18 FFFB2C") << QByteArray() << hex("FFFE01 FFFC18 FFFE2C")
            << asked << -1 << 0;
        QTest::newRow("answers to its own offers are not answered again")
            << QByteArray("FFFD00 FFFB00 FFFB03 FFFD00 FFFB03") << QByteArray() << QByteArray()
            << asked << -1 << 0;
        QTest::newRow("an offer it wants, unasked, is taken")
            << QByteArray("FFFD03") << QByteArray() << hex("FFFB03") << asked << -1 << 0;
        QTest::newRow("baud rate confirmed") << QByteArray("FFFA2C65 00000960 FFF0") << QByteArray()
                                             << QByteArray() << asked << 2400 << 0;
        QTest::newRow("confirmation split inside, data around it")
            << QByteArray("0F FFFA|2C65 0000|12C0 FF|F0 0F") << hex("0F0F") << QByteArray() << asked
            << 4800 << 0;
        QTest::newRow("confirmation with 0xFF in the value")
            << QByteArray("FFFA2C65 00FFFF00FFFF FFF0") << QByteArray() << QByteArray() << asked
            << 0xFF00FF << 0;
        QTest::newRow("line state notice is not data")
            << QByteArray("0F FFFA2C6A60FFF0 0F") << hex("0F0F") << QByteArray() << asked << -1
            << 0x60;
        QTest::newRow("the byte of SE inside a value")
            << QByteArray("FFFA2C6AF0FFF0 05") << hex("05") << QByteArray() << asked << -1 << 0xF0;
        QTest::newRow("another option's subnegotiation")
            << QByteArray("0F FFFA1801 0F0F FFF0 04") << hex("0F04") << QByteArray() << asked << -1
            << 0;
        QTest::newRow("a client's command from the server is ignored")
            << QByteArray("FFFA2C01 00000960 FFF0") << QByteArray() << QByteArray() << asked << -1
            << 0;
        QTest::newRow("confirmation of the wrong length is ignored")
            << QByteArray("FFFA2C65 0960 FFF0 0F") << hex("0F") << QByteArray() << asked << -1 << 0;
        QTest::newRow("unfinished subnegotiation ended by a command")
            << QByteArray("FFFA2C65 0000 FFFD2C 0F") << hex("0F") << QByteArray() << accepted << -1
            << 0;
        QTest::newRow("overlong subnegotiation dropped, data after it kept")
            << (QByteArray("FFFA2C64") + QByteArray(600 * 2, 'A') + "FFF0 0F0F") << hex("0F0F")
            << QByteArray() << asked << -1 << 0;
    }
    void receive() {
        QFETCH(QByteArray, server);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, answers);
        QFETCH(int, comPort);
        QFETCH(int, baud);
        QFETCH(int, lineState);

        QList<QByteArray> chunks;
        for (const QByteArray &part : server.split('|'))
            chunks << QByteArray::fromHex(part);
        QList<QByteArray> single;
        for (const QByteArray &chunk : chunks)
            for (char c : chunk)
                single << QByteArray(1, c);

        for (const QList<QByteArray> &split : {chunks, single}) {
            telnet::Client client;
            client.start(true);
            QByteArray got;
            for (const QByteArray &chunk : split)
                got += client.feed(chunk);
            QCOMPARE(got.toHex(' '), data.toHex(' '));
            QCOMPARE(client.takeAnswers().toHex(' '), answers.toHex(' '));
            QCOMPARE(int(client.comPort()), comPort);
            QCOMPARE(client.confirmedBaudrate().has_value(), baud >= 0);
            if (baud >= 0)
                QCOMPARE(int(*client.confirmedBaudrate()), baud);
            QCOMPARE(int(client.lineState()), lineState);
        }
    }

    // Every COM-PORT-OPTION answer reaches the line in order, with its value unescaped.
    void notices() {
        telnet::Client client;
        client.start(true);
        client.feed(hex("FFFA2C6B30FFF0 FFFA2C65000012C0FFF0 FFFA2C6CFFF0 FFFA2C7003FFF0"));
        const QList<telnet::Notice> notices = client.takeNotices();
        QCOMPARE(notices.size(), 4);
        QCOMPARE(notices[0].command, telnet::ComPort::NotifyModemstate);
        QCOMPARE(notices[0].value, hex("30"));
        QCOMPARE(notices[1].command, telnet::ComPort::SetBaudrate);
        QCOMPARE(notices[2].command, telnet::ComPort::FlowControlSuspend);
        QCOMPARE(notices[3].command, telnet::ComPort::PurgeData);
        QCOMPARE(client.modemState(), quint8(0x30));
        QVERIFY(client.takeNotices().isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestTelnet)
#include "test_telnet.moc"
