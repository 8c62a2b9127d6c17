#include "updater.h"

#include <QLoggingCategory>

#include "commport.h"
#include "frames.h"
#include "link.h"
#include "sequences.h"
#include "texts.h"

// Off unless asked for: QT_LOGGING_RULES="zarvo.update.debug=true".
Q_LOGGING_CATEGORY(lcUpdate, "zarvo.update", QtWarningMsg)

namespace {

// The start request's tail, which the instrument echoes.
const QByteArray kWakeReply(reinterpret_cast<const char *>(frames::StartRequest.data()),
                            qsizetype(frames::StartRequest.size()));

// How an update ends whose port would not open: by why it would not.
Outcome openOutcome(serial::LineFault fault) {
    switch (fault) {
    case serial::LineFault::Missing:
        return Outcome::PortMissing;
    case serial::LineFault::InUse:
        return Outcome::PortInUse;
    case serial::LineFault::Permission:
        return Outcome::NoPermission;
    default:
        return Outcome::PortUnusable;
    }
}

struct DepthGuard {
    explicit DepthGuard(int &depth) : m_depth(depth) { ++m_depth; }
    ~DepthGuard() { --m_depth; }
    int &m_depth;
};

} // namespace

QString openFailureText(const CommPort::Error &error) {
    QString text = QStringLiteral("Selected COM Port could not be opened.");
    if (!error.reason.isEmpty())
        text += QStringLiteral("\n\n") + error.reason;
#ifdef Q_OS_LINUX
    if (error.fault == serial::LineFault::Permission)
        // The command has a line of its own, so that wrapping never breaks it.
        text += QStringLiteral("\n\nYour user account is not allowed to use this serial port. "
                               "Add it to the group that owns the port, usually 'dialout', "
                               "then log out and in again:\n\nsudo usermod -aG dialout $USER");
#endif
    return text;
}

Updater::Updater(FormState &state, View &view, CommPort &port, Link &link)
    : m_st(state), m_view(view), m_port(port), m_link(link) {}

void Updater::cmdProgram_Click() {
    if (!m_st.bIdle || running())
        return;
    DepthGuard guard(m_depth);

    m_view.locked(true);

    m_st.bVersionOK = false;
    m_st.bEndUpdate = false;
    m_st.bCheckFailed = false;
    m_st.bFirstErase = true;
    m_st.bFirstWrite = true;
    m_st.outcome = {};
    m_link.beginUpdate();

    m_st.bIdle = false;

    const QString lineSettings = CommPort::settingsFor(m_st.sBaudrate);
    setUpPort(lineSettings);

    // Every phase below may find the update already ended (by a failure in Send or by a
    // cancel); Send then does nothing, so the steps only need the flags they test.
    [&] {
        qCDebug(lcUpdate) << "update: port" << m_st.iComPort << "at" << lineSettings
                          << (m_view.remoteStart() ? "remote start" : "local start");
        // A cancel may come while the check or the open waits on a network line.
        if (!CheckComPort(m_st.iComPort) || m_st.bIdle)
            return;

        if (!openPort())
            return;
        m_view.portOpened();

        if (m_view.remoteStart()) {
            m_st.sWakeReply = kWakeReply;
            m_link.beginPhase(View::Phase::StartBootloader, 1);
            if (!changeSpeed(CommPort::settingsFor(QString::number(frames::StartRequestBaud))))
                return;
            qCDebug(lcUpdate) << "phase: remote start request";
            m_link.Send(frames::StartBootloader);
            if (m_st.sReply.size() >= m_st.sWakeReply.size() &&
                m_st.sReply.right(m_st.sWakeReply.size()) == m_st.sWakeReply)
                m_view.bootloaderReady();
        }

        if (!changeSpeed(lineSettings))
            return;
        qCDebug(lcUpdate) << "phase: identification";
        m_link.beginPhase(View::Phase::Identify, 1);
        m_link.Send(frames::ReadVersion);
        if (!m_st.bVersionOK)
            return;

        EraseFlash(m_link);
        phaseEnded(View::Phase::Erase);
        m_link.beginPhase(View::Phase::BlankCheck, 1);
        m_link.Send(frames::BlankCheck);
        phaseEnded(View::Phase::BlankCheck);
        if (m_st.bCheckFailed)
            return;

        ProgramFlash(m_link);
        phaseEnded(View::Phase::Program);
        m_link.beginPhase(View::Phase::Verify, 1);
        m_link.Send(frames::Verify);
        phaseEnded(View::Phase::Verify);
        if (m_st.bCheckFailed)
            return;

        qCDebug(lcUpdate) << "phase: reset defaults, version, finish";
        m_link.beginPhase(View::Phase::ResetDefaults, 1);
        m_link.Send(frames::ResetDefaults);
        m_link.beginPhase(View::Phase::ReadBack, 1);
        m_link.Send(frames::ReadVersion);
        if (m_st.bIdle)
            return;
        m_link.beginPhase(View::Phase::Finish, 1);
        m_link.Send(frames::FinishUpdate);

        if (m_st.bEndUpdate && !m_st.bCheckFailed && m_link.finishWritten()) {
            qCDebug(lcUpdate) << "completed";
            m_st.outcome.settle(Outcome::Done);
            m_view.report(Outcome::Done, QString());
        }
    }();

    qCDebug(lcUpdate) << "update ended";
    m_view.locked(false);
}

void Updater::phaseEnded(View::Phase phase) {
    qCDebug(lcUpdate) << "phase done:" << int(phase);
    m_view.phaseEnded(phase);
}

void Updater::setUpPort(const QString &lineSettings) {
    m_port.setCommPort(m_st.iComPort);
    m_port.setSettings(lineSettings);
    m_port.setInputMode(0);
    m_port.setInputLen(0);
    m_port.setRThreshold(1);
    m_port.setSThreshold(1);
    m_port.setDTREnable(true);
    m_port.setRTSEnable(true);
    m_port.setNullDiscard(false);
    m_port.setHandshaking(0);
}

bool Updater::openPort() {
    m_port.setCommPort(m_st.iComPort);
    if (m_port.open())
        return true;
    if (m_st.bIdle)
        return false; // cancelled while it opened: the cancel has told the user
    const CommPort::Error error = m_port.lastError();
    const Outcome outcome = openOutcome(error.fault);
    if (outcome == Outcome::PortMissing) {
        // The device went after the check let it through (unplugged, its link removed):
        // no port has this number now, which is what the check itself would have said.
        portMissing();
        return false;
    }
    if (outcome == Outcome::PortInUse) {
        QString text =
            QStringLiteral("Selected COM Port is already in use by another application.");
        // The second line says what to close, when the holder could be found.
        if (!error.holder.isEmpty())
            text += u'\n' + error.holder;
        portFailed(text, outcome);
        return false;
    }
    // Any other refusal would leave the window "updating" with a port that never opened;
    // say why and end the attempt the same way.
    portFailed(openFailureText(error), outcome);
    return false;
}

bool Updater::changeSpeed(const QString &lineSettings) {
    if (m_port.setSettings(lineSettings))
        return true;
    if (m_st.bIdle)
        return false;
    // A line left at a speed other than the instrument's garbles every frame that follows:
    // the update ends here, with the reason, rather than with a reply that never comes.
    m_st.outcome.settle(Outcome::CommError, m_port.lastError().reason);
    m_link.returnToIdle(Outcome::CommError, texts::CommError);
    return false;
}

void Updater::portMissing() {
    m_st.outcome.settle(Outcome::PortMissing, m_port.lastError().reason);
    m_link.returnToIdle(Outcome::PortMissing,
                        QStringLiteral("Selected Com Port is not available."));
}

void Updater::portFailed(const QString &message, Outcome outcome) {
    m_st.outcome.settle(outcome, m_port.lastError().reason);
    m_link.returnToIdle(outcome, message);
}

void Updater::cmdExit_Click(bool quiet) {
    if (m_st.bIdle) {
        if (!quiet)
            m_view.quit();
        return;
    }
    qCDebug(lcUpdate) << "cancelled";
    m_st.bReceived = true;
    m_st.outcome.settle(Outcome::Cancelled);
    m_link.returnToIdle(Outcome::Cancelled,
                        quiet ? QString() : QStringLiteral("Firmware update was cancelled."), true);
}

bool Updater::CheckComPort(qint16 port) {
    m_port.clearError();
    m_port.setCommPort(port);
    m_port.open();
    if (openOutcome(m_port.lastError().fault) != Outcome::PortMissing) {
        m_port.close();
        return true;
    }
    portMissing();
    return false;
}
