#include "link.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <thread>
#include <utility>

#include "commport.h"
#include "frames.h"
#include "texts.h"

// Off unless asked for: QT_LOGGING_RULES="zarvo.link.debug=true".
Q_LOGGING_CATEGORY(lcLink, "zarvo.link", QtWarningMsg)

namespace {

const QString &kCommError = texts::CommError;
const QString kNotBootloader = QStringLiteral("Make sure device is in bootloader mode.");

bool is(const QByteArray &code, std::string_view wanted) {
    return code == QByteArrayView(wanted.data(), qsizetype(wanted.size()));
}

// Byte at a 1-based position of a reply, or -1 where the reply is too short: after a
// timeout or a cancel the reply held may be an earlier, shorter one.
int byteAt(const QByteArray &reply, int position) {
    return position >= 1 && position <= reply.size() ? quint8(reply[position - 1]) : -1;
}

QString textAt(const QByteArray &reply, int position, int length) {
    return QString::fromLatin1(reply.mid(position - 1, length));
}

// Positions 11, 10, 9 and 8 as hex pairs joined by "-"; "??" marks a byte the reply lacks.
QString resultBytesText(const QByteArray &reply) {
    QStringList parts;
    for (int position = 11; position >= 8; --position) {
        const int b = byteAt(reply, position);
        parts << (b < 0 ? QStringLiteral("??")
                        : QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper());
    }
    return parts.join(QLatin1Char('-'));
}

// What the bytes in front of a receive buffer make of a frame: none (no start pair, a bad
// escape, an unescaped start byte, a wrong checksum), one still arriving, or a whole one.
struct FrameHead {
    enum Kind { None, Partial, Whole } kind = None;
    qsizetype length = 0; // a whole frame's wire bytes
    QByteArray body;      // unescaped: command, count or checksum, ...
};

FrameHead frameAt(const QByteArray &bytes) {
    using namespace frames;
    if (byteAt(bytes, 1) != FrameStart || byteAt(bytes, 2) != FrameStart)
        return {};
    FrameHead head;
    for (qsizetype i = 2; i < bytes.size(); ++i) {
        quint8 b = quint8(bytes[i]);
        if (b == FrameEnd) {
            quint8 sum = 0;
            for (char c : std::as_const(head.body))
                sum = quint8(sum + quint8(c));
            if (head.body.size() < 2 || sum != 0)
                return {};
            head.kind = FrameHead::Whole;
            head.length = i + 1;
            return head;
        }
        if (b == FrameStart)
            return {};
        if (b == FrameEscape) {
            if (++i == bytes.size())
                break;
            b = quint8(bytes[i]);
            if (b != FrameStart && b != FrameEnd && b != FrameEscape)
                return {};
        }
        head.body.append(char(b));
    }
    head.kind = FrameHead::Partial;
    return head;
}

// Wire length of the bootloader's reply to a command byte, escapes left out; -1 for a
// byte no reply carries.
int replyLengthFor(quint8 command) {
    using namespace frames;
    switch (command) {
    case CmdReadVersion:
        return expectedReplyLength(CodeReadVersion);
    case CmdCheck:
        return expectedReplyLength(CodeBlankCheck);
    case CmdEraseRow:
    case CmdWriteBlocks:
    case CmdResetDefaults:
        return expectedReplyLength(CodeEraseRow);
    default:
        return -1;
    }
}

} // namespace

Link::Link(FormState &state, View &view, CommPort &port, QObject *parent)
    : QObject(parent), m_st(state), m_view(view), m_port(port) {
    connect(&m_port, &CommPort::commEvent, this, &Link::MSComm1_OnComm);
    connect(&m_port, &CommPort::deviceLost, this, &Link::onDeviceLost);
}

void Link::Send(std::string_view sDataOut) {
    if (m_st.bIdle)
        return;

    const QByteArray frameText(sDataOut.data(), qsizetype(sDataOut.size()));
    m_st.sCommand = frameText.mid(4, 4);
    m_lineLost = false;

    prepare();
    // A code the tool does not know (-1) leaves the threshold alone.
    const int replyLength = frames::expectedReplyLength(
        std::string_view(m_st.sCommand.constData(), std::size_t(m_st.sCommand.size())));
    if (replyLength > 0)
        m_port.setRThreshold(replyLength);

    const std::vector<std::uint8_t> bytes = frames::aStringToHex(sDataOut);
    const QByteArray wire(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
    qCDebug(lcLink).noquote() << "tx" << wire.toHex(' ') << "awaiting" << replyLength << "bytes";
    if (!m_port.output(wire)) {
        // The frame never left: going on would run the rest of the update into a dead
        // port and could end by reporting success with nothing written. There is no
        // reply to evaluate either.
        fail(kCommError, Outcome::CommError, m_port.lastError().reason);
        endUpdate();
        return;
    }
    if (is(m_st.sCommand, frames::CodeFinishUpdate))
        m_finishWritten = true;

    if (!m_st.bEndUpdate) {
        int counter = 0;
        m_st.bReceived = false;
        ++m_waitDepth;
        bool eventsProcessed = false;
        QDeadlineTimer passEnd(m_passLength, Qt::PreciseTimer);
        while (!m_st.bReceived) {
            // A pass ends when its time is up or as soon as bytes arrive; those are taken
            // before anything else the window has queued.
            if (m_port.waitForInput(passEnd))
                m_port.takeInputNow();
            // Once the reply is in, the next frame goes out before the window's events are
            // processed; but every wait processes them at least once, so that a line that
            // answers at once cannot shut the window out of a whole update.
            if (!m_st.bReceived || !eventsProcessed) {
                QCoreApplication::processEvents(QEventLoop::AllEvents);
                eventsProcessed = true;
            }
            // Passes that ran their full length count, and so does the one the reply is
            // taken in, however early: a reply in the 1,001st pass is too late. Bytes that
            // are not the reply end passes early without counting, so that they cannot use
            // the timeout up faster than the clock.
            if (passEnd.hasExpired() || m_st.bReceived) {
                ++counter;
                passEnd = QDeadlineTimer(m_passLength, Qt::PreciseTimer);
            }
            if (counter > kWaitPasses)
                m_st.bReceived = true;
        }
        --m_waitDepth;
        m_waitPasses = counter;
        if (counter > kWaitPasses)
            qCDebug(lcLink) << "no reply to" << m_st.sCommand << "within" << kWaitPasses
                            << "passes";

        if (!m_st.bIdle) {
            if (m_lineLost) {
                fail(kCommError, Outcome::CommError, m_lostReason, true);
            } else if (is(m_st.sCommand, frames::CodeStartBootloader)) {
                std::this_thread::sleep_for(kStartPause);
                QCoreApplication::processEvents(QEventLoop::AllEvents);
            } else if (counter > kWaitPasses) {
                fail(kCommError, Outcome::CommError,
                     QStringLiteral("no reply to command %1")
                         .arg(QString::fromLatin1(m_st.sCommand)));
            } else if (byteAt(m_st.sReply, 1) != frames::FrameStart ||
                       byteAt(m_st.sReply, 2) != frames::FrameStart) {
                fail(kNotBootloader, Outcome::NotBootloader,
                     QStringLiteral("reply %1").arg(QString::fromLatin1(m_st.sReply.toHex(' '))));
            }
        }
        evaluate();
        if (!m_st.bEndUpdate) {
            frameDone();
            return;
        }
    } else {
        frameDone(); // written, and no reply is awaited
    }
    endUpdate();
}

void Link::beginPhase(View::Phase phase, int frames) {
    m_phase = phase;
    m_phaseFrames = frames;
    m_phaseDone = 0;
    m_view.phaseBegun(phase, frames);
}

void Link::frameDone() {
    if (m_st.bIdle || m_phaseDone >= m_phaseFrames)
        return;
    m_view.framesDone(m_phase, ++m_phaseDone, m_phaseFrames);
}

void Link::HandleInput(const QByteArray &sReceive) {
    qCDebug(lcLink).noquote() << "rx" << sReceive.toHex(' ');
    m_st.sReply = sReceive;
    m_st.bReceived = true;
}

void Link::MSComm1_OnComm(int commEvent) {
    if (commEvent != CommPort::kEvReceive)
        return;
    // The wait has its reply and processes events once more before it ends: what arrives
    // then is for the next frame's wait to judge, and must not replace the reply just taken
    // (a failed verify followed at once by a good one would pass).
    if (m_waitDepth > 0 && m_st.bReceived)
        return;
    QByteArray received = m_port.input();
    if (dropEarlierReplies(received) && received.size() < m_port.rThreshold()) {
        // What follows may be the beginning of this frame's reply: it waits in the port
        // until the reply's length is there, as if the dropped bytes had never come.
        m_port.putBack(received);
        return;
    }
    HandleInput(received);
}

bool Link::answersAnotherCommand(const QByteArray &body) const {
    const QByteArray sent = QByteArray::fromHex(m_st.sCommand);
    if (sent.size() != 2 || body.isEmpty())
        return false;
    if (body[0] != sent[0])
        return true;
    // Blank check and verify share their command byte; the reply repeats the count.
    return quint8(sent[0]) == frames::CmdCheck && body.size() >= 2 && body[1] != sent[1];
}

bool Link::dropEarlierReplies(QByteArray &received) {
    // Only a bootloader command's reply is a frame; the remote start's echo is not.
    const std::string_view code(m_st.sCommand.constData(), std::size_t(m_st.sCommand.size()));
    if (code == frames::CodeStartBootloader || frames::expectedReplyLength(code) <= 0)
        return false;
    bool dropped = false;
    for (;;) {
        const FrameHead head = frameAt(received);
        if (head.kind == FrameHead::None || !answersAnotherCommand(head.body))
            return dropped;
        if (head.kind == FrameHead::Partial) {
            // Longer than that reply can be with every byte escaped: not that frame after all.
            const int length = replyLengthFor(quint8(head.body[0]));
            if (length < 0 || received.size() >= 2 * length - 3)
                return dropped;
            m_port.putBack(std::exchange(received, QByteArray()));
            return true;
        }
        qCDebug(lcLink).noquote() << "dropped a reply to another command:"
                                  << received.left(head.length).toHex(' ') << "awaiting"
                                  << m_st.sCommand;
        received.remove(0, head.length);
        dropped = true;
    }
}

void Link::onDeviceLost(const QString &reason) {
    if (m_st.bIdle)
        return;
    m_lineLost = true;
    m_lostReason = reason;
    if (m_waitDepth > 0)
        m_st.bReceived = true; // nothing more can arrive: end the wait now
}

void Link::prepare() {
    tellSending(m_st.sCommand);
    if (is(m_st.sCommand, frames::CodeFinishUpdate))
        m_st.bEndUpdate = true;
}

void Link::tellSending(const QByteArray &code) {
    using namespace frames;
    using P = View::Phase;
    // The first erase frame and the first write frame of an update count from 1 again.
    auto next = [](bool &first, int &sent) {
        if (std::exchange(first, false))
            sent = 0;
        return ++sent;
    };
    if (is(code, CodeEraseRow))
        m_view.frameSending(P::Erase, next(m_st.bFirstErase, m_eraseSent));
    else if (is(code, CodeWriteBlocks))
        m_view.frameSending(P::Program, next(m_st.bFirstWrite, m_writeSent));
    else if (is(code, CodeBlankCheck))
        m_view.frameSending(P::BlankCheck, 1);
    else if (is(code, CodeVerify))
        m_view.frameSending(P::Verify, 1);
    else if (is(code, CodeResetDefaults))
        m_view.frameSending(P::ResetDefaults, 1);
    else if (is(code, CodeFinishUpdate))
        m_view.frameSending(P::Finish, 1);
    else if (is(code, CodeStartBootloader))
        m_view.frameSending(P::StartBootloader, 1);
    else if (is(code, CodeReadVersion))
        m_view.frameSending(m_phase == P::ReadBack ? P::ReadBack : P::Identify, 1);
}

void Link::evaluate() {
    using namespace frames;
    const QByteArray &code = m_st.sCommand;
    if (is(code, CodeReadVersion))
        evaluateVersion();
    else if (is(code, CodeBlankCheck))
        evaluateCheck(true);
    else if (is(code, CodeVerify))
        evaluateCheck(false);
}

void Link::evaluateVersion() {
    const QByteArray &reply = m_st.sReply;
    if (!m_st.bIdle && reply.mid(4, 4) != "0415") {
        m_st.outcome.settle(Outcome::ForeignDevice,
                            QStringLiteral("identification ") + textAt(reply, 5, 4));
        m_view.report(Outcome::ForeignDevice,
                      QStringLiteral("Attached device is not the ZARVO-415B."));
        m_st.bEndUpdate = true;
    }

    const bool noFirmware = byteAt(reply, 9) == 0xFF;
    m_view.versionRead(m_phase, textAt(reply, 5, 4),
                       noFirmware ? QString()
                                  : textAt(reply, 9, 4) + QLatin1Char('.') + textAt(reply, 13, 2),
                       !m_st.bIdle && !m_st.bEndUpdate);
    if (noFirmware)
        m_st.bVersionOK = true;
    if (m_st.bVersionOK || m_st.bEndUpdate)
        return;

    const QString installed = textAt(reply, 9, 4);
    if (QString::compare(m_st.sVersion, installed, Qt::CaseInsensitive) > 0) {
        m_st.bVersionOK = true;
        return;
    }
    if (m_view.askReplace(installed, m_st.sVersion)) {
        m_st.bVersionOK = true;
    } else {
        m_st.outcome.settle(Outcome::Declined, QStringLiteral("installed version ") + installed);
        m_view.report(Outcome::Declined, QString());
        m_st.bEndUpdate = true;
    }
}

void Link::evaluateCheck(bool blankCheck) {
    const QByteArray &reply = m_st.sReply;
    bool passed;
    if (blankCheck) {
        passed = byteAt(reply, 8) == 0x00 && byteAt(reply, 9) == 0xC4 &&
                 byteAt(reply, 10) == 0xFF && byteAt(reply, 11) == 0x3B;
    } else {
        passed = byteAt(reply, 8) == 0x00 && byteAt(reply, 9) == 0x00;
    }
    if (passed)
        return;
    const Outcome kind = blankCheck ? Outcome::BlankCheckFailed : Outcome::VerifyFailed;
    const QString bytes = resultBytesText(reply);
    m_st.outcome.settle(kind, QStringLiteral("result bytes ") + bytes);
    m_view.report(kind,
                  blankCheck ? QStringLiteral("Blank Check Error")
                             : QStringLiteral("Verify Checksum Error"),
                  bytes);
    m_st.bEndUpdate = true;
    m_st.bCheckFailed = true;
}

void Link::fail(const QString &message, Outcome outcome, const QString &detail,
                bool lineLost) {
    qCDebug(lcLink).noquote() << "failed:" << message;
    m_st.outcome.settle(outcome, detail, lineLost);
    returnToIdle(outcome, message);
    m_st.bEndUpdate = true;
}

void Link::endUpdate() {
    m_st.bVersionOK = false;
    if (!returnToIdle(Outcome::None) && m_finishWritten) {
        // FinishUpdate was dropped on a line that stopped moving: the unit never got it,
        // and this must not end as a completed update.
        m_finishWritten = false;
        fail(kCommError, Outcome::CommError, m_port.lastError().reason);
    }
}

bool Link::returnToIdle(Outcome why, const QString &message, bool messageLast) {
    if (!message.isEmpty() && !messageLast)
        m_view.report(why, message);
    m_st.bIdle = true;
    m_view.stopped(why);
    if (!message.isEmpty() && messageLast)
        m_view.report(why, message);
    return m_port.close();
}
