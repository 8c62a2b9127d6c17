// A scripted bootloader on the master end of a PtyPair: it cuts the tool's bytes into
// frames and answers each through a responder, in the tool's own event processing.
#pragma once

#include <QByteArray>
#include <QList>
#include <functional>

#include "pty.h"

struct PeerFrame {
    QByteArray wire; // as it arrived, escapes included
    QByteArray body; // unescaped: command, count, address, data, checksum
    QByteArray code; // "0301" etc.; "0000" for the remote start request
    quint32 address = 0;
    speed_t speed = 0; // the line speed the tool had set when the frame arrived
};

class BootPeer {
public:
    using Responder = std::function<QByteArray(const PeerFrame &)>;

    explicit BootPeer(PtyPair &pty) : m_pty(pty) {
        m_pty.setPeer([this](const QByteArray &chunk) { return take(chunk); });
    }

    QList<PeerFrame> frames;
    Responder respond = standardReply;

    // Replies with the escape rule applied to everything after the start pair.
    static QByteArray reply(const QByteArray &bodyWithoutChecksum) {
        quint8 sum = 0;
        for (char c : bodyWithoutChecksum)
            sum = quint8(sum + quint8(c));
        QByteArray body = bodyWithoutChecksum;
        body.append(char(quint8(0x100 - sum)));
        QByteArray wire("\x0F\x0F", 2);
        for (char c : body) {
            if (c == 0x0F || c == 0x04 || c == 0x05)
                wire.append('\x05');
            wire.append(c);
        }
        wire.append('\x04');
        return wire;
    }
    static QByteArray versionReply(const QByteArray &id, const QByteArray &version,
                                   const QByteArray &sub = "01") {
        return reply(QByteArray("\x00\x01", 2) + id + version + sub);
    }
    static QByteArray checkReply(quint8 count, const QByteArray &result) {
        return reply(QByteArray("\x0A", 1) + char(count) + QByteArray("\x00\x08\x00", 3) + result);
    }
    static QByteArray standardReply(const PeerFrame &frame) {
        if (frame.code == "0000")
            return QByteArray("\xFE\xFE\x33\x00\x42\x4C\x3F\xFD", 8);
        if (frame.code == "0001")
            return versionReply("0415", "1003");
        if (frame.code == "0A02")
            return checkReply(0x02, QByteArray("\x00\xC4\xFF\x3B", 4));
        if (frame.code == "0A01")
            return checkReply(0x01, QByteArray("\x00\x00\x12\x34", 4));
        if (frame.code == "0801")
            return {};
        return reply(frame.body.left(1));
    }

private:
    QByteArray take(const QByteArray &chunk) {
        m_buffer += chunk;
        QByteArray out;
        static const QByteArray startRequest("\xFE\xFE\x33\x00\x42\x4C\x3F\xFD", 8);
        for (;;) {
            const int request = m_buffer.indexOf(startRequest);
            const int start = m_buffer.indexOf(QByteArray("\x0F\x0F", 2));
            if (request >= 0 && (start < 0 || request < start)) {
                PeerFrame frame;
                frame.wire = m_buffer.left(request + startRequest.size());
                frame.code = "0000";
                m_buffer.remove(0, frame.wire.size());
                out += deliver(frame);
                continue;
            }
            if (start < 0)
                return out;
            PeerFrame frame;
            int i = start + 2;
            bool complete = false;
            while (i < m_buffer.size()) {
                char c = m_buffer[i++];
                if (c == 0x05 && i < m_buffer.size()) {
                    frame.body.append(m_buffer[i++]);
                } else if (c == 0x04) {
                    complete = true;
                    break;
                } else {
                    frame.body.append(c);
                }
            }
            if (!complete)
                return out;
            frame.wire = m_buffer.mid(start, i - start);
            m_buffer.remove(0, i);
            frame.code = frame.body.left(2).toHex().toUpper();
            if (frame.body.size() >= 5 && frame.body[0] != 0)
                frame.address = quint8(frame.body[2]) | quint8(frame.body[3]) << 8 |
                                quint32(quint8(frame.body[4])) << 16;
            out += deliver(frame);
        }
    }
    QByteArray deliver(PeerFrame frame) {
        const termios tio = m_pty.slaveSettings();
        frame.speed = cfgetospeed(&tio);
        frames << frame;
        return respond ? respond(frame) : QByteArray();
    }

    PtyPair &m_pty;
    QByteArray m_buffer;
};
