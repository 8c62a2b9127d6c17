// A line held in memory, for a port given it through openInMemory (below): what the port
// writes is kept, and `peer` answers each write with the pieces its far end sends back. The
// pieces arrive one at a time, each in a round of event processing or in a wait for input,
// whichever comes first, and readyRead follows from the event loop, as on a real line that
// hands a reply on as it comes. Nothing arrives unasked: a wait with nothing to come lasts
// to its deadline, as it would on a silent instrument, unless the far end hangs up once it
// has said all it will (hangUpWhenDone).
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <utility>

#include "commport.h"
#include "line.h"

class MemoryLine : public serial::Line {
public:
    explicit MemoryLine(QString name = QStringLiteral("memory")) : m_name(std::move(name)) {}

    // Given each write, the pieces of the answer in the order they arrive.
    std::function<QByteArrayList(const QByteArray &written)> peer;
    QByteArray written; // everything written, across opens
    serial::LineSettings settings;
    // Once the port waits with the whole answer read, the far end hangs up, as a remote port
    // that closes its connection: the wait for a reply that never completes ends at once,
    // through lost(), rather than when its passes run out.
    bool hangUpWhenDone = false;

    bool open(const serial::LineSettings &lineSettings) override {
        forget();
        beginSession();
        settings = lineSettings;
        clearFailure();
        m_open = true;
        return true;
    }
    void close() override {
        forget();
        endSession();
        m_open = false;
    }
    bool isOpen() const override { return m_open; }
    QString name() const override { return m_name; }
    bool setBaudRate(qint32 baud) override {
        settings.baud = baud;
        return true;
    }
    void setModemLines(bool dtr, bool rts) override {
        settings.dtr = dtr;
        settings.rts = rts;
    }

    bool write(const QByteArray &bytes) override {
        if (!m_open)
            return fail(serial::LineFault::NotOpen, m_name + QStringLiteral(": not open"));
        if (m_hungUp)
            return fail(serial::LineFault::WriteFailed,
                        m_name + QStringLiteral(": the far end hung up"));
        written += bytes;
        if (peer)
            for (const QByteArray &piece : peer(bytes))
                if (!piece.isEmpty())
                    m_coming << piece;
        arriveLater();
        return true;
    }
    bool drain() override { return true; }
    void purgeOutput() override {}
    void purgeInput() override { m_arrived.clear(); }

    QByteArray read() override {
        if (m_hungUp)
            reportLost(m_name + QStringLiteral(": the far end hung up"));
        return std::exchange(m_arrived, QByteArray());
    }

private:
    // Nothing arrives while the thread waits: the next piece comes at once, or nothing.
    bool awaitInput(const QDeadlineTimer &) override {
        if (m_hungUp)
            return false;
        if (m_arrived.isEmpty() && !m_coming.isEmpty())
            m_arrived += m_coming.takeFirst(); // its readyRead is already on its way
        if (!m_arrived.isEmpty())
            return true;
        if (hangUpWhenDone) {
            m_hungUp = true;
            return true; // as a device's poll wakes for a hang-up; read() finds it
        }
        return false;
    }
    // Drops what is held and what is still on its way: nothing of one open reaches the next.
    void forget() {
        m_arrived.clear();
        m_coming.clear();
        m_posted = false;
        m_hungUp = false;
    }
    // The next piece arrives in the next round of event processing, and readyRead tells of
    // what is unread then; while pieces remain, another round follows.
    void arriveLater() {
        if (m_posted || m_coming.isEmpty())
            return;
        m_posted = true;
        post([this] {
            m_posted = false;
            if (!m_coming.isEmpty())
                m_arrived += m_coming.takeFirst();
            arriveLater();
            if (!m_arrived.isEmpty())
                emit readyRead();
        });
    }

    QString m_name;
    bool m_open = false;
    QByteArray m_arrived;    // there to read()
    QByteArrayList m_coming; // the answer's pieces still on their way
    bool m_posted = false;   // an arrival is on its way through the event loop
    bool m_hungUp = false;
};

// Every open of `port` from now on takes a memory line, which `setUp` readies (its peer, above
// all) before the port uses it.
inline void openInMemory(CommPort &port, std::function<void(MemoryLine &)> setUp) {
    port.setDevice(QStringLiteral("memory"));
    port.setLineMaker([setUp = std::move(setUp)](const QString &address) {
        auto line = std::make_unique<MemoryLine>(address);
        setUp(*line);
        return std::unique_ptr<serial::Line>(std::move(line));
    });
}
