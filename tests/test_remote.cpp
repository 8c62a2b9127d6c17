// A remote line: the virtual instrument on a pseudo-terminal served by ser2net on a
// loopback TCP port, and socat making the local pseudo-terminal the tool opens. Both
// services are started and stopped here, on 127.0.0.1 only.
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

#include "dialogs.h"
#include "frmmain.h"
#include "instrument.h"
#include "pty.h"
#include "runtime.h"

namespace {

constexpr int kPort = 5;

// ser2net serving `device` and socat's pseudo-terminal at `dir`/ttyREMOTE reaching it.
class RemoteLine {
public:
    RemoteLine(const QString &device, const QString &dir) : m_link(dir + "/ttyREMOTE") {
        // A port the system just gave out and took back; nothing else binds to loopback
        // ports in this range between the two steps.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return;
        const quint16 tcp = probe.serverPort();
        probe.close();

        const QString endpoint = QStringLiteral("tcp,127.0.0.1,%1").arg(tcp);
        m_ser2net.setProcessChannelMode(QProcess::MergedChannels);
        m_ser2net.start(QStringLiteral("ser2net"),
                        {"-n", "-u", "-P", dir + "/ser2net.pid", "-Y", "connection: &meter", "-Y",
                         "  accepter: " + endpoint, "-Y",
                         "  connector: serialdev," + device + ",4800n81,local"});
        if (!m_ser2net.waitForStarted(10000) || !listening(tcp)) {
            qWarning() << "ser2net:" << m_ser2net.errorString() << m_ser2net.readAll();
            return;
        }
        m_socat.setProcessChannelMode(QProcess::MergedChannels);
        m_socat.start(QStringLiteral("socat"), {"pty,link=" + m_link + ",raw,echo=0,ignoreeof",
                                                QStringLiteral("tcp:127.0.0.1:%1").arg(tcp)});
        m_socat.waitForStarted(10000);
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo::exists(m_link) && clock.elapsed() < 10000 &&
               m_socat.state() == QProcess::Running)
            m_socat.waitForReadyRead(20);
        m_ready = QFileInfo::exists(m_link);
    }
    ~RemoteLine() {
        for (QProcess *p : {&m_socat, &m_ser2net}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(10000))
                p->kill();
        }
    }
    bool ready() const { return m_ready; }
    QString link() const { return m_link; }
    // The server end goes away: its TCP connection drops without a goodbye.
    void dropServer() {
        m_ser2net.kill();
        m_ser2net.waitForFinished(10000);
    }

private:
    static bool listening(quint16 tcp) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, tcp);
            if (socket.waitForConnected(50))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    QString m_link;
    QProcess m_ser2net;
    QProcess m_socat;
    bool m_ready = false;
};

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
        Flash map({"--map", "5", line.link()});
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
};

QTEST_MAIN(TestRemote)
#include "test_remote.moc"
