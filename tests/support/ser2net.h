// ser2net serving a device on a loopback TCP port, started and stopped by its owner: as raw
// TCP, or as Telnet with remote serial port control (its telnet(rfc2217) accepter).
#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtDebug>

class Ser2net {
public:
    enum class Accepter { Raw, Rfc2217 };
    struct Setup {
        Accepter accepter = Accepter::Rfc2217;
        // The settings the README gives for a stop-and-wait protocol (no Nagle on its TCP
        // side, chardelay off); false leaves ser2net's defaults (each burst from the line
        // held for about two character times).
        bool fast = true;
        int baud = 4800; // the line's speed until a client sets another
    };

    Ser2net(const QString &device, const QString &pidDir, Setup setup) {
        // A port the system just gave out and took back; nothing else binds to loopback
        // ports in this range between the two steps.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return;
        m_port = probe.serverPort();
        probe.close();

        const QString tcp = setup.fast ? QStringLiteral("tcp(nodelay)") : QStringLiteral("tcp");
        const QString stack =
            setup.accepter == Accepter::Rfc2217 ? QStringLiteral("telnet(rfc2217),") + tcp : tcp;
        QStringList yaml{
            "connection: &meter",
            QStringLiteral("  accepter: %1,127.0.0.1,%2").arg(stack).arg(m_port),
            QStringLiteral("  connector: serialdev,%1,%2n81,local").arg(device).arg(setup.baud)};
        if (setup.fast)
            yaml << "  options:"
                 << "    chardelay: false";
        QStringList args{"-n", "-u", "-P", pidDir + "/ser2net.pid"};
        for (const QString &line : yaml)
            args << "-Y" << line;
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("ser2net"), args);
        if (!m_process.waitForStarted(10000) || !listening()) {
            qWarning() << "ser2net:" << m_process.errorString() << m_process.readAll();
            return;
        }
        m_ready = true;
    }
    ~Ser2net() { stop(); }
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    bool ready() const { return m_ready; }
    quint16 port() const { return m_port; }
    QString address(const char *scheme = "rfc2217") const {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(m_port);
    }
    // The server goes away: its TCP connections drop without a goodbye.
    void kill() {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }

private:
    bool listening() {
        for (int attempt = 0; attempt < 200; ++attempt) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(50)) {
                // ser2net serves one client at a time: this one must be gone before the
                // caller's connects.
                socket.disconnectFromHost();
                if (socket.state() != QAbstractSocket::UnconnectedState)
                    socket.waitForDisconnected(1000);
                return true;
            }
            if (m_process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(20);
        }
        return false;
    }

    QProcess m_process;
    quint16 m_port = 0;
    bool m_ready = false;
};
