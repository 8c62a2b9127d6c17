#include "updater.h"

#include "commport.h"
#include "frames.h"
#include "link.h"
#include "sequences.h"

namespace {

const QString kExitCaption = QStringLiteral("Exit (ESC)");

constexpr View::Control kLockOrder[] = {View::Control::cmdProgram, View::Control::chkRemote,
                                        View::Control::lblRemote, View::Control::cboComPort,
                                        View::Control::cboBaudrate};
constexpr View::Control kUnlockOrder[] = {View::Control::lblRemote, View::Control::chkRemote,
                                          View::Control::cboComPort, View::Control::cboBaudrate,
                                          View::Control::cmdProgram};

// The start request's tail, which the instrument echoes: FE FE 33 00 "BL" 3F FD.
const QByteArray kWakeReply("\xFE\xFE\x33\x00\x42\x4C\x3F\xFD", 8);

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
    if (error.code == CommPort::kErrPermission)
        text += QStringLiteral("\n\nYour user account is not allowed to use this serial port. "
                               "Add it to the group that owns the port, usually 'dialout' "
                               "(sudo usermod -aG dialout $USER), then log out and in again.");
#endif
    return text;
}

Updater::Updater(FormState &state, View &view, CommPort &port, Link &link)
    : m_st(state), m_view(view), m_port(port), m_link(link) {}

void Updater::cmdProgram_Click() {
    if (!m_st.bIdle || running())
        return;
    DepthGuard guard(m_depth);

    if (m_st.bSuccess)
        m_view.unloadSuccess();
    for (View::Control control : kLockOrder)
        m_view.setControlEnabled(control, false);
    m_view.setProgressValue(0.0f);
    m_view.ResetStatusPanels();

    m_st.bVersionOK = false;
    m_st.bEndUpdate = false;
    m_st.bCheckFailed = false;
    m_st.bFirstErase = true;
    m_st.bFirstWrite = true;
    m_st.outcome = {};
    m_link.beginUpdate();

    m_st.bIdle = false;
    m_view.setExitCaption(QStringLiteral("Cancel (ESC)"));

    const QString lineSettings = m_st.sBaudrate + QStringLiteral(",N,8,1");
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

    // Every phase below may find the update already ended (by a failure in Send or by a
    // cancel); Send then does nothing, so the steps only need the flags they test.
    [&] {
        if (!CheckComPort(m_st.iComPort))
            return;

        m_port.setCommPort(m_st.iComPort);
        if (!m_port.open()) {
            const CommPort::Error error = m_port.lastError();
            if (error.code == CommPort::kErrPortOpen) {
                portFailed(
                    QStringLiteral("Selected COM Port is already in use by another application."),
                    Outcome::PortInUse);
                return;
            }
            // Any other refusal would leave the window "updating" with a port that never
            // opened; say why and end the attempt the same way.
            portFailed(openFailureText(error), error.code == CommPort::kErrPermission
                                                   ? Outcome::NoPermission
                                                   : Outcome::PortUnusable);
            return;
        }
        m_view.portOpened();

        if (m_view.remoteChecked()) {
            m_st.sWakeReply = kWakeReply;
            m_view.setMessageLine(QStringLiteral("Please wait.  Attempting to start bootloader."));
            m_view.setPanelText(1, QStringLiteral("Starting Bootloader ."));
            m_port.setSettings(QStringLiteral("4800,N,8,1"));
            m_link.Send(frames::StartBootloader);
            if (m_st.sReply.size() >= m_st.sWakeReply.size() &&
                m_st.sReply.right(m_st.sWakeReply.size()) == m_st.sWakeReply) {
                m_view.setMessageLine(QString());
                m_view.setPanelText(1, QStringLiteral("Bootloader Ready ..."));
            }
        }

        m_port.setSettings(lineSettings);
        m_link.Send(frames::ReadVersion);
        if (!m_st.bVersionOK)
            return;

        m_view.setMessageLine(QStringLiteral("Please wait.  ZARVO firmware is being updated."));
        EraseFlash(m_link);
        m_view.setPanelText(2, QStringLiteral("E"));

        m_link.Send(frames::BlankCheck);
        m_view.setPanelText(2, m_view.panelText(2) + QLatin1Char('B'));
        if (m_st.bCheckFailed)
            return;

        ProgramFlash(m_link);
        m_view.setPanelText(2, m_view.panelText(2) + QLatin1Char('P'));
        m_link.Send(frames::Verify);
        m_view.setPanelText(2, m_view.panelText(2) + QLatin1Char('V'));
        if (m_st.bCheckFailed)
            return;

        m_link.Send(frames::ResetDefaults);
        m_link.Send(frames::ReadVersion);
        if (m_st.bIdle)
            return;
        m_link.Send(frames::FinishUpdate);

        if (m_st.bEndUpdate && !m_st.bCheckFailed && m_link.finishWritten()) {
            m_st.outcome.settle(Outcome::Done);
            m_view.showSuccess();
        }
    }();

    m_view.setMessageLine(QString());
    for (View::Control control : kUnlockOrder)
        m_view.setControlEnabled(control, true);
}

void Updater::portFailed(const QString &message, Outcome outcome) {
    m_st.outcome.settle(outcome, m_port.lastError().reason);
    m_view.messageBox(message, m_st.sTitleVer, View::Icon::Exclamation);
    m_view.setExitCaption(kExitCaption);
    m_st.bIdle = true;
    if (m_port.isOpen())
        m_port.close();
}

void Updater::cmdExit_Click(bool quiet) {
    if (m_st.bIdle) {
        if (!quiet)
            m_view.unloadMainWindow();
        return;
    }
    m_st.bIdle = true;
    m_st.bReceived = true;
    m_st.outcome.settle(Outcome::Cancelled);
    m_view.setProgressValue(0.0f);
    m_view.ResetStatusPanels();
    m_view.setExitCaption(kExitCaption);
    if (!quiet)
        m_view.messageBox(QStringLiteral("Firmware update was cancelled."), m_st.sTitleVer,
                          View::Icon::Critical);
    if (m_port.isOpen())
        m_port.close();
}

bool Updater::CheckComPort(qint16 port) {
    m_port.clearError();
    m_port.setCommPort(port);
    m_port.open();
    const bool usable = m_port.lastError().code != CommPort::kErrInvalidPort;
    if (!usable) {
        m_st.outcome.settle(Outcome::PortMissing, m_port.lastError().reason);
        m_view.messageBox(QStringLiteral("Selected Com Port is not available."), m_st.sTitleVer,
                          View::Icon::Exclamation);
        m_view.setPanelText(1, QStringLiteral("For Help press F1"));
        m_view.setExitCaption(kExitCaption);
        m_st.bIdle = true;
    }
    m_port.close();
    return usable;
}
