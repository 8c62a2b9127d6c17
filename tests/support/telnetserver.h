// A scripted Telnet server with remote serial port control on 127.0.0.1, for tests of the
// network line without ser2net: it negotiates (or refuses, or keeps silent) as told, answers
// the client's data through a function, and records what came in. It runs on a thread of
// its own, because the line blocks its own thread while it opens and changes speed.
// Its Telnet parsing is written apart from the tool's on purpose, so that the two cannot
// agree on a mistake.
#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QWaitCondition>
#include <functional>
#include <memory>

struct TelnetScript {
    enum class Negotiation {
        Accept,  // DO COM-PORT-OPTION, and confirms every command (RFC 2217's answers)
        Refuse,  // DONT COM-PORT-OPTION
        Silent,  // answers no Telnet command at all
        RawOnly, // no Telnet: every byte is data (a tcp:// server)
    };
    Negotiation negotiation = Negotiation::Accept;
    // Sent raw right after a client connects, before anything else.
    QByteArray greeting;
    // Closes the connection right after the greeting.
    bool closeAfterGreeting = false;
    // Given the client's data not yet consumed (0xFF undoubled), takes what it answers and
    // returns the answer as raw bytes for the wire: the script writes Telnet itself.
    std::function<QByteArray(QByteArray &pending)> peer;
    // Given a COM-PORT-OPTION command the client sent (its code and value) and the answer
    // RFC 2217 asks for, returns what the server writes instead: another value, nothing, or
    // data beside it. Unset: the answer. Only with Accept.
    std::function<QByteArray(quint8 code, const QByteArray &value, const QByteArray &answer)>
        confirm;
    // Never reads what the client sends, and sends it requests without end (DO for an
    // option the client declines, each owed an answer).
    bool flood = false;
    // An answer goes out in pieces of this many bytes, each written on its own after a
    // pause, so that the client reads them apart. 0: in one piece.
    int pieceSize = 0;
};

// One COM-PORT-OPTION command the client sent: its code and value (unescaped).
struct ReceivedCommand {
    quint8 code;
    QByteArray value;
};

class TelnetServer {
public:
    explicit TelnetServer(TelnetScript script) : m_script(std::move(script)) {
        m_thread.reset(QThread::create([this] { run(); }));
        QMutexLocker lock(&m_mutex);
        m_thread->start();
        while (!m_started)
            m_ready.wait(&m_mutex);
    }
    ~TelnetServer() {
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
        m_thread->wait();
    }
    TelnetServer(const TelnetServer &) = delete;
    TelnetServer &operator=(const TelnetServer &) = delete;

    quint16 port() const { return m_port; }
    QString address(const char *scheme = "rfc2217") const {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(m_port);
    }
    // Everything the client sent, as it came over the wire.
    QByteArray wire() const {
        QMutexLocker lock(&m_mutex);
        return m_wire;
    }
    // The client's data, Telnet taken out.
    QByteArray data() const {
        QMutexLocker lock(&m_mutex);
        return m_data;
    }
    QList<ReceivedCommand> commands() const {
        QMutexLocker lock(&m_mutex);
        return m_commands;
    }
    // Option negotiations the client sent: verb, option pairs.
    QList<QPair<quint8, quint8>> negotiations() const {
        QMutexLocker lock(&m_mutex);
        return m_negotiations;
    }
    int connections() const {
        QMutexLocker lock(&m_mutex);
        return m_connections;
    }
    // Sends raw bytes to the connected client (from the test's thread).
    void send(const QByteArray &raw) {
        QMetaObject::invokeMethod(
            m_loop, [this, raw] { writePieces(raw); }, Qt::QueuedConnection);
    }
    // Drops the connection at once.
    void dropClient() {
        QMetaObject::invokeMethod(
            m_loop,
            [this] {
                if (m_client)
                    m_client->abort();
            },
            Qt::BlockingQueuedConnection);
    }

private:
    enum : quint8 { SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255 };
    enum class State { Data, Iac, Verb, Sub, SubIac };

    void run() {
        QEventLoop loop;
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                accepted(socket);
        });
        {
            QMutexLocker lock(&m_mutex);
            m_loop = &loop;
            m_port = server.serverPort();
            m_started = true;
            m_ready.wakeAll();
        }
        loop.exec();
        if (m_client)
            m_client->abort();
        delete m_client;
        m_client = nullptr;
    }

    void accepted(QTcpSocket *socket) {
        {
            QMutexLocker lock(&m_mutex);
            ++m_connections;
        }
        if (m_client) { // one client at a time, as ser2net without kickolduser
            socket->write("Port already in use\r\n");
            socket->flush();
            socket->disconnectFromHost();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            return;
        }
        m_client = socket;
        m_state = State::Data;
        if (m_script.flood) {
            const QByteArray requests = QByteArray("\xFF\xFD\x18").repeated(16 * 1024);
            const auto more = [socket, requests] {
                while (socket->bytesToWrite() < 4 * requests.size())
                    socket->write(requests);
            };
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
            QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
                if (m_client == socket)
                    m_client = nullptr;
                socket->deleteLater();
            });
            more();
            return;
        }
        m_pending.clear();
        m_answered.clear();
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(socket, &QTcpSocket::readyRead, [this] { onRead(); });
        QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
            if (m_client == socket)
                m_client = nullptr;
            socket->deleteLater();
        });
        if (!m_script.greeting.isEmpty()) {
            socket->write(m_script.greeting);
            socket->flush();
        }
        if (m_script.closeAfterGreeting)
            socket->disconnectFromHost();
    }

    void writePieces(const QByteArray &raw) {
        if (!m_client)
            return;
        if (m_script.pieceSize <= 0) {
            m_client->write(raw);
            m_client->flush();
            return;
        }
        for (qsizetype at = 0; at < raw.size(); at += m_script.pieceSize) {
            m_client->write(raw.mid(at, m_script.pieceSize));
            m_client->flush();
            m_client->waitForBytesWritten(100);
            QThread::msleep(5); // on this thread only: the client reads meanwhile
        }
    }

    void negotiate(quint8 verb, quint8 option) {
        {
            QMutexLocker lock(&m_mutex);
            m_negotiations << qMakePair(verb, option);
        }
        using N = TelnetScript::Negotiation;
        if (m_script.negotiation == N::Silent)
            return;
        const bool comPort = option == 44;
        QByteArray answer(3, char(IAC));
        answer[2] = char(option);
        if (verb == WILL)
            answer[1] = char(comPort && m_script.negotiation == N::Refuse ? DONT : DO);
        else if (verb == DO)
            answer[1] = char(WILL);
        else
            return; // WONT and DONT need no answer here
        // An answer is given once; a repeated request is one the server already agreed to.
        const quint16 key = quint16(verb) << 8 | option;
        if (m_answered.contains(key))
            return;
        m_answered << key;
        m_client->write(answer);
        m_client->flush();
    }

    void subnegotiation(const QByteArray &sub) {
        if (sub.size() < 2 || quint8(sub[0]) != 44)
            return;
        const quint8 code = quint8(sub[1]);
        {
            QMutexLocker lock(&m_mutex);
            m_commands << ReceivedCommand{code, sub.mid(2)};
        }
        if (m_script.negotiation != TelnetScript::Negotiation::Accept)
            return;
        QByteArray answer = QByteArray(1, char(IAC)) + char(SB) + char(44) + char(code + 100);
        for (char c : sub.mid(2)) {
            answer += c;
            if (quint8(c) == IAC)
                answer += c;
        }
        answer += QByteArray(1, char(IAC)) + char(SE);
        if (m_script.confirm) {
            writePieces(m_script.confirm(code, sub.mid(2), answer));
            return;
        }
        m_client->write(answer);
        m_client->flush();
    }

    void onRead() {
        const QByteArray in = m_client->readAll();
        QByteArray data;
        {
            QMutexLocker lock(&m_mutex);
            m_wire += in;
        }
        const bool raw = m_script.negotiation == TelnetScript::Negotiation::RawOnly;
        for (char c : in) {
            const quint8 b = quint8(c);
            if (raw) {
                data += c;
                continue;
            }
            switch (m_state) {
            case State::Data:
                if (b == IAC)
                    m_state = State::Iac;
                else
                    data += c;
                break;
            case State::Iac:
                m_state = State::Data;
                if (b == IAC)
                    data += c;
                else if (b >= WILL)
                    m_verb = b, m_state = State::Verb;
                else if (b == SB)
                    m_sub.clear(), m_state = State::Sub;
                break;
            case State::Verb:
                negotiate(m_verb, b);
                m_state = State::Data;
                break;
            case State::Sub:
                if (b == IAC)
                    m_state = State::SubIac;
                else
                    m_sub += c;
                break;
            case State::SubIac:
                if (b == SE) {
                    subnegotiation(m_sub);
                    m_state = State::Data;
                } else {
                    m_sub += c;
                    m_state = State::Sub;
                }
                break;
            }
        }
        if (data.isEmpty())
            return;
        {
            QMutexLocker lock(&m_mutex);
            m_data += data;
        }
        m_pending += data;
        if (m_script.peer) {
            const QByteArray answer = m_script.peer(m_pending);
            if (!answer.isEmpty())
                writePieces(answer);
        }
    }

    TelnetScript m_script;
    std::unique_ptr<QThread> m_thread;
    mutable QMutex m_mutex;
    QWaitCondition m_ready;
    bool m_started = false;
    QEventLoop *m_loop = nullptr;
    quint16 m_port = 0;
    QByteArray m_wire;
    QByteArray m_data;
    QList<ReceivedCommand> m_commands;
    QList<QPair<quint8, quint8>> m_negotiations;
    int m_connections = 0;

    // The server thread's own state.
    QTcpSocket *m_client = nullptr;
    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;
    QByteArray m_pending;
    QList<quint16> m_answered;
};
