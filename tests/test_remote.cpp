// A remote line: the virtual instrument on a pseudo-terminal served by ser2net on a
// loopback TCP port, reached natively (rfc2217://) or through socat's local
// pseudo-terminal. The services are started and stopped here, on 127.0.0.1 only.
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "boxanswerer.h"
#include "dialogs.h"
#include "frmmain.h"
#include "instrument.h"
#include "pty.h"
#include "runtime.h"
#include "ser2net.h"
#include "telnetserver.h"

#include <csignal>

namespace {

constexpr int kPort = 5;

// Port kPort led to `address`, and the window loaded with that port, the baud rate and
// Remote Program chosen.
[[nodiscard]] bool prepareWindow(frmMain &w, const QString &address, const QString &baud,
                                 bool remote) {
    Flash map({"--map", QString::number(kPort), address});
    if (map.finish() != 0 || !w.Form_Load())
        return false;
    w.engine.state.iComPort = kPort;
    w.engine.state.sBaudrate = baud;
    w.findChild<QCheckBox *>("chkRemote")->setChecked(remote);
    return true;
}

// ser2net serving `device` as raw TCP with its default settings, and socat's
// pseudo-terminal at `dir`/ttyREMOTE reaching it.
class RemoteLine {
public:
    RemoteLine(const QString &device, const QString &dir)
        : m_link(dir + "/ttyREMOTE"), m_ser2net(device, dir, {Ser2net::Accepter::Raw, false}) {
        if (!m_ser2net.ready())
            return;
        m_socat.setProcessChannelMode(QProcess::MergedChannels);
        m_socat.start(QStringLiteral("socat"),
                      {"pty,link=" + m_link + ",raw,echo=0,ignoreeof",
                       QStringLiteral("tcp:127.0.0.1:%1").arg(m_ser2net.port())});
        m_socat.waitForStarted(10000);
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo::exists(m_link) && clock.elapsed() < 10000 &&
               m_socat.state() == QProcess::Running)
            m_socat.waitForReadyRead(20);
        m_ready = QFileInfo::exists(m_link);
    }
    ~RemoteLine() {
        if (m_socat.state() != QProcess::NotRunning) {
            m_socat.terminate();
            if (!m_socat.waitForFinished(10000))
                m_socat.kill();
        }
    }
    bool ready() const { return m_ready; }
    QString link() const { return m_link; }
    // The server end goes away: its TCP connection drops without a goodbye.
    void dropServer() { m_ser2net.kill(); }

private:
    QString m_link;
    Ser2net m_ser2net;
    QProcess m_socat;
    bool m_ready = false;
};

// The instrument's settings for a row: its speed, and application mode for a remote start.
QStringList simArgs(int baud, bool remote) {
    QStringList args{"--baud", QString::number(baud)};
    if (remote)
        args << "--mode"
             << "application";
    return args;
}

QStringList flashArgs(int baud, bool remote) {
    QStringList args{"--baud", QString::number(baud)};
    if (remote)
        args << "--remote";
    return args;
}

// The frames a local update sends to an instrument set up so, as its transcript has them.
QStringList localFrames(const QStringList &sim, const QStringList &args) {
    PortSandbox sandbox;
    QTemporaryDir records;
    Instrument instrument(kPort, sim, records.path());
    Flash flash(QStringList{"--port", QString::number(kPort), "--quiet"} + args);
    if (flash.finish() != 0 || !instrument.finished())
        return {};
    return instrument.frames();
}

// ser2net's own speed for the line: one the instrument never uses, so that only the speeds
// the tool sets reach it.
constexpr int kServerBaud = 9600;

// A scripted server as a row names it: one that keeps the set-up waiting (silent: no Telnet
// answer at all; unconfirmed: takes remote serial port control, confirms no setting), or
// one that answers a later speed request of the remote start wrongly or not at all.
TelnetScript scriptFor(const QString &server) {
    TelnetScript script;
    if (server == "silent")
        script.negotiation = TelnetScript::Negotiation::Silent;
    const auto asked4800 = std::make_shared<bool>(false);
    script.confirm = [=](quint8 code, const QByteArray &value, const QByteArray &answer) {
        const quint32 baud =
            code == 1 && value.size() == 4 ? qFromBigEndian<quint32>(value.constData()) : 0;
        if (server == "unconfirmed")
            return QByteArray();
        if (baud == 4800)
            *asked4800 = true;
        if (server == "speed change unconfirmed" && baud == 4800)
            return QByteArray();
        if (server == "9600 for 2400" && baud == 2400 && *asked4800)
            return QByteArray::fromHex("FFFA2C6500002580FFF0");
        return answer;
    };
    return script;
}

} // namespace

class TestRemote : public QObject {
    Q_OBJECT

    RuntimeSandbox m_runtime;

private slots:
    void initTestCase() {
        QVERIFY(m_runtime.isValid());
        for (const char *program : {"ser2net", "socat"})
            QVERIFY2(
                !QStandardPaths::findExecutable(program, {"/usr/sbin", "/usr/bin"}).isEmpty() ||
                    !QStandardPaths::findExecutable(program).isEmpty(),
                program);
    }

    // A whole update through the remote line, mapped as COM5 the way the README shows.
    void update_data() {
        QTest::addColumn<bool>("window");
        QTest::newRow("zarvo-flash") << false;
        QTest::newRow("the window") << true;
    }
    void update() {
        QFETCH(bool, window);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(0, {}, records.path());
        QVERIFY(!instrument.device().isEmpty());
        RemoteLine line(instrument.device(), records.path());
        QVERIFY(line.ready());
        // The device socat made: its link is in a temporary directory below /tmp, which
        // others may write to and --map refuses.
        Flash map({"--map", "5", QFileInfo(line.link()).canonicalFilePath()});
        QCOMPARE(map.finish(), 0);

        if (window) {
            frmMain w;
            QVERIFY(w.Form_Load());
            w.engine.state.iComPort = kPort;
            w.cmdProgram_Click();
            QVERIFY(w.engine.state.bSuccess);
            w.close();
            UnloadAllForms();
        } else {
            Flash flash({"--port", "5", "--quiet"});
            QCOMPARE(flash.finish(), 0);
            QVERIFY2(flash.err().isEmpty(), qPrintable(flash.err()));
        }
        QVERIFY(instrument.finished());
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), kCompleteUpdate, &why), qPrintable(why));
    }

    // The TCP connection drops in the middle of programming: the update ends with the
    // window's message, and nothing follows it.
    void connectionDropped() {
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(0, {}, records.path());
        RemoteLine line(instrument.device(), records.path());
        QVERIFY(line.ready());
        Flash flash({"--port", line.link(), "--json"});
        // The second progress report of programming: blocks are on their way by then.
        QVERIFY(flash.waitForLine("\"phase\":\"program\""));
        QVERIFY(flash.waitForLine("\"phase\":\"program\""));
        line.dropServer();
        QCOMPARE(flash.finish(), 9);
        const QStringList lines = flash.out().split('\n', Qt::SkipEmptyParts);
        const QJsonObject result = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        QCOMPARE(result["event"].toString(), QStringLiteral("result"));
        QCOMPARE(result["outcome"].toString(), QStringLiteral("communication-error"));
        QCOMPARE(result["message"].toString(), QStringLiteral("Error communicating with Port."));
        for (const QString &l : lines)
            QVERIFY2(!l.contains("\"verify\"") && !l.contains("\"finish\""), qPrintable(l));
        instrument.stop();
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), "0001 0301*480 0A02 0202*<1658", &why),
                 qPrintable(why));
    }

    // Whole updates through ser2net's telnet(rfc2217), the window reaching it through a
    // comN entry and zarvo-flash by its address: the same frames as a local update. ser2net
    // is set to a speed the instrument never uses, and the instrument garbles anything at
    // the wrong speed: a speed change that did not reach it fails the update.
    void updateRfc2217_data() {
        QTest::addColumn<bool>("window");
        QTest::addColumn<int>("baud");
        QTest::addColumn<bool>("remote");
        QTest::newRow("zarvo-flash, Remote Program at 2400") << false << 2400 << true;
        QTest::newRow("the window, Remote Program at 2400") << true << 2400 << true;
        QTest::newRow("zarvo-flash, local at 1200") << false << 1200 << false;
        QTest::newRow("the window, local at 1200") << true << 1200 << false;
    }
    void updateRfc2217() {
        QFETCH(bool, window);
        QFETCH(int, baud);
        QFETCH(bool, remote);
        const QStringList reference = localFrames(simArgs(baud, remote), flashArgs(baud, remote));
        QVERIFY(reference.size() > 2000);

        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(0, simArgs(baud, remote), records.path());
        QVERIFY(!instrument.device().isEmpty());
        Ser2net server(instrument.device(), records.path(),
                       {Ser2net::Accepter::Rfc2217, true, kServerBaud});
        QVERIFY(server.ready());
        if (window) {
            BoxAnswerer answerer;
            frmMain w;
            QVERIFY(prepareWindow(w, server.address(), QString::number(baud), remote));
            w.cmdProgram_Click();
            QCOMPARE(answerer.texts(), QStringList());
            QVERIFY(w.engine.state.bSuccess);
            w.close();
            UnloadAllForms();
        } else {
            Flash flash(QStringList{"--port", server.address(), "--quiet"} +
                        flashArgs(baud, remote));
            QCOMPARE(flash.finish(), 0);
            QVERIFY2(flash.err().isEmpty(), qPrintable(flash.err()));
        }
        QVERIFY(instrument.finished());
        QCOMPARE(instrument.frames(), reference);
    }

    // A scripted server that keeps the network set-up waiting, or answers the remote start's
    // speed requests wrongly: the window's Cancel at 100 ms or once the server has the speed
    // change (zarvo-flash: Ctrl-C once the server has the connection) ends the update then
    // and there, long before the step's own 3 s bound: no frame goes out, and no open
    // follows a check it cut short. A speed the server does not take ends the update with
    // that reason rather than with a reply that never comes.
    void scriptedServer_data() {
        QTest::addColumn<bool>("window");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("cancel"); // when; empty: none
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("detail"); // %1: the server's address
        const int cancelled = int(Outcome::Cancelled);
        const int commError = int(Outcome::CommError);
        QTest::newRow("the window, Cancel while the check negotiates")
            << true << "silent"
            << "at 100 ms" << 1 << cancelled << "";
        QTest::newRow("the window, Cancel while the settings await confirmation")
            << true << "unconfirmed"
            << "at 100 ms" << 1 << cancelled << "";
        QTest::newRow("the window, Cancel while the speed change awaits confirmation")
            << true << "speed change unconfirmed"
            << "at the speed request" << 2 << cancelled << "";
        QTest::newRow("zarvo-flash, Ctrl-C while the check negotiates")
            << false << "silent"
            << "at the connection" << 1 << cancelled << "";
        QTest::newRow("the window, 9600 confirmed for the return to 2400")
            << true << "9600 for 2400"
            << "" << 2 << commError << "%1 set the line to 9600 baud instead of 2400";
        QTest::newRow("zarvo-flash, the speed change never confirmed")
            << false << "speed change unconfirmed"
            << "" << 2 << commError << "%1 did not confirm the change to 4800 baud within 3 s";
    }
    void scriptedServer() {
        QFETCH(bool, window);
        QFETCH(QString, server);
        QFETCH(QString, cancel);
        QFETCH(int, connections);
        QFETCH(int, outcome);
        QFETCH(QString, detail);
        TelnetServer scripted(scriptFor(server));
        if (!detail.isEmpty())
            detail = detail.arg(scripted.address());
        if (window) {
            PortSandbox sandbox;
            BoxAnswerer answerer;
            frmMain w;
            QVERIFY(prepareWindow(w, scripted.address(), "2400", true));
            QElapsedTimer clock;
            qint64 cancelledAt = -1;
            QTimer trigger;
            trigger.setInterval(cancel == "at 100 ms" ? 100 : 1);
            QObject::connect(&trigger, &QTimer::timeout, &w, [&] {
                const QList<ReceivedCommand> commands = scripted.commands();
                const bool due =
                    cancel == "at 100 ms" ||
                    std::any_of(commands.begin(), commands.end(), [](const ReceivedCommand &c) {
                        return c.code == 1 && c.value == QByteArray::fromHex("000012C0");
                    });
                if (!due)
                    return;
                trigger.stop();
                cancelledAt = clock.elapsed();
                w.findChild<QPushButton *>("cmdExit")->click();
            });
            if (!cancel.isEmpty())
                trigger.start();
            clock.start();
            w.cmdProgram_Click();
            QCOMPARE(cancelledAt >= 0, !cancel.isEmpty());
            if (!cancel.isEmpty())
                QVERIFY2(clock.elapsed() - cancelledAt < 3000 && clock.elapsed() < 6000,
                         qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(int(w.engine.state.outcome.value), outcome);
            QCOMPARE(w.engine.state.outcome.detail, detail);
            // The window's one message follows from the outcome.
            QCOMPARE(answerer.texts(), QStringList{outcome == int(Outcome::Cancelled)
                                                       ? "Firmware update was cancelled."
                                                       : "Error communicating with Port."});
            QVERIFY(w.engine.state.bIdle);
            QVERIFY(!w.engine.MSComm1.isOpen());
            w.close();
            UnloadAllForms();
        } else {
            Flash flash({"--port", scripted.address(), "--json", "--remote", "--baud", "2400"});
            if (!cancel.isEmpty()) {
                QTRY_VERIFY(scripted.connections() > 0);
                ::kill(flash.process().processId(), SIGINT);
                QCOMPARE(flash.finish(), -1);
                QCOMPARE(flash.endedBySignal(), SIGINT);
            } else {
                QCOMPARE(flash.finish(), 9);
            }
            const QStringList lines = flash.out().split('\n', Qt::SkipEmptyParts);
            QVERIFY(!lines.isEmpty());
            const QJsonObject result = QJsonDocument::fromJson(lines.last().toUtf8()).object();
            QCOMPARE(result["outcome"].toString(), outcome == int(Outcome::Cancelled)
                                                       ? QStringLiteral("cancelled")
                                                       : QStringLiteral("communication-error"));
            QCOMPARE(result["detail"].toString(), detail);
        }
        QCOMPARE(scripted.connections(), connections);
        if (!cancel.isEmpty())
            QCOMPARE(scripted.data().toHex(' '), QByteArray());
    }

    // The connection through ser2net drops at several points of an update in the window:
    // the endings of a hung-up local line, nothing false, and the next update in the same
    // window completes. The instrument hanging up its line makes ser2net drop the
    // connection; a device ser2net cannot open drops it during the negotiation.
    void droppedRfc2217_data() {
        QTest::addColumn<QStringList>("sim"); // empty: ser2net's device is missing
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("codes");
        QTest::addColumn<bool>("success");
        const QString commError = "Error communicating with Port.";
        QTest::newRow("negotiation") << QStringList{} << QStringList{"unusable"} << "" << false;
        QTest::newRow("erase") << QStringList{"--hang-up", "300"} << QStringList{commError}
                               << "0001 0301*<300" << false;
        QTest::newRow("program") << QStringList{"--hang-up", "1000"} << QStringList{commError}
                                 << "0001 0301*480 0A02 0202*<1658" << false;
        QTest::newRow("right after FinishUpdate")
            << QStringList{"--hang-up", "2144"} << QStringList{} << kCompleteUpdate << true;
    }
    void droppedRfc2217() {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, boxes);
        QFETCH(QString, codes);
        QFETCH(bool, success);
        PortSandbox sandbox;
        BoxAnswerer answerer;
        frmMain w;
        QVERIFY(w.Form_Load());
        w.engine.state.iComPort = kPort;
        {
            QTemporaryDir records;
            std::unique_ptr<Instrument> instrument;
            QString device = records.path() + "/gone";
            if (!sim.isEmpty()) {
                instrument = std::make_unique<Instrument>(0, sim, records.path());
                device = instrument->device();
            }
            Ser2net server(device, records.path(), {Ser2net::Accepter::Rfc2217, true, 4800});
            QVERIFY(server.ready());
            Flash map({"--map", QString::number(kPort), server.address()});
            QCOMPARE(map.finish(), 0);
            w.cmdProgram_Click();
            QCOMPARE(w.engine.state.bSuccess, success);
            QCOMPARE(answerer.seen.size(), boxes.size());
            if (!boxes.isEmpty() && boxes[0] == "unusable") {
                QVERIFY2(answerer.seen[0].text.startsWith(
                             "Selected COM Port could not be opened.\n\n" + server.address() +
                             " closed the connection during "),
                         qPrintable(answerer.seen[0].text));
                QVERIFY2(answerer.seen[0].text.contains("Device open failure"),
                         qPrintable(answerer.seen[0].text));
            } else {
                QCOMPARE(answerer.texts(), boxes);
            }
            QVERIFY(w.engine.state.bIdle);
            QVERIFY(!w.engine.MSComm1.isOpen());
            if (instrument) {
                instrument->stop();
                QString why;
                QVERIFY2(matchesCodes(instrument->codes(), codes, &why), qPrintable(why));
            }
        }
        // The next update in the same window, through a new server.
        answerer.seen.clear();
        QTemporaryDir records;
        Instrument instrument(0, {}, records.path());
        Ser2net server(instrument.device(), records.path(),
                       {Ser2net::Accepter::Rfc2217, true, 4800});
        QVERIFY(server.ready());
        Flash map({"--map", QString::number(kPort), server.address()});
        QCOMPARE(map.finish(), 0);
        w.cmdProgram_Click();
        QCOMPARE(answerer.texts(), QStringList());
        QVERIFY(w.engine.state.bSuccess);
        QVERIFY(instrument.finished());
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), kCompleteUpdate, &why), qPrintable(why));
        w.close();
        UnloadAllForms();
    }
};

QTEST_MAIN(TestRemote)
#include "test_remote.moc"
