#include "formpresenter.h"

#include <cmath>

#include "hints.h"
#include "image.h"
#include "texts.h"

namespace {

// The bar counts erase rows and 16-byte blocks of the region. The image has fewer write
// frames than blocks; a finished program sequence shows the bar full all the same.
constexpr float kEraseMax = float(image::kEraseRows);
constexpr float kWriteMax = float(image::kWriteBlocks);

// In the order the update locks them, and the order it unlocks them.
constexpr Form::Control kLockOrder[] = {Form::Control::cmdProgram, Form::Control::chkRemote,
                                        Form::Control::lblRemote, Form::Control::cboComPort,
                                        Form::Control::cboBaudrate};
constexpr Form::Control kUnlockOrder[] = {Form::Control::lblRemote, Form::Control::chkRemote,
                                          Form::Control::cboComPort, Form::Control::cboBaudrate,
                                          Form::Control::cmdProgram};

// Panel 1 as the one frame of each of these phases goes out.
struct SendingText {
    View::Phase phase;
    const char *text;
};
constexpr SendingText kSendingText[] = {
    {View::Phase::BlankCheck, "Blank Checking ..."},
    {View::Phase::Verify, "Verifying ..."},
    {View::Phase::ResetDefaults, "Resetting Defaults ..."},
    {View::Phase::Finish, "Update Finished"},
};

} // namespace

FormPresenter::FormPresenter(Form &form, const FormState &state) : m_form(form), m_st(state) {}

void FormPresenter::clearDisplay() {
    m_form.setProgressValue(0.0f);
    ResetStatusPanels();
}

void FormPresenter::ResetStatusPanels() {
    m_form.setPanelText(1, texts::IdleStatus);
    m_indicators.clear();
    for (int panel = 2; panel <= 4; ++panel)
        m_form.setPanelText(panel, QString());
}

void FormPresenter::progressStep(int number, float max, const QString &text) {
    // The first frame of a sequence re-bases the bar; each frame is one step of it.
    m_max = max;
    const float value = float(number);
    m_form.setProgressMax(max);
    m_form.setProgressValue(value);
    // Single precision throughout, so 240 of 480 is 50 and 1 of 480 is 0.
    const float hundredfold = value * 100.0f;
    const int percent = int(std::floor(hundredfold / max));
    m_form.setPanelText(1, text + QString::number(percent) + QLatin1Char('%'));
}

bool FormPresenter::remoteStart() const {
    return m_form.remoteChecked();
}

bool FormPresenter::askReplace(const QString &installed, const QString &replacement) {
    return m_form.messageBox(texts::replaceQuestion(installed, replacement),
                             QStringLiteral("Confirm Firmware Replace"), Form::Icon::Question,
                             Form::Buttons::YesNo, Form::Answer::No) == Form::Answer::Yes;
}

void FormPresenter::locked(bool on) {
    if (on) {
        if (m_st.bSuccess)
            m_form.unloadSuccess();
        for (Form::Control control : kLockOrder)
            m_form.setControlEnabled(control, false);
        clearDisplay();
        m_form.setExitCaption(texts::CancelCaption);
        return;
    }
    m_form.setMessageLine(QString());
    for (Form::Control control : kUnlockOrder)
        m_form.setControlEnabled(control, true);
}

void FormPresenter::phaseBegun(Phase phase, int) {
    if (phase == Phase::StartBootloader) {
        m_form.setMessageLine(texts::StartingBootloader);
        m_form.setPanelText(1, QStringLiteral("Starting Bootloader ."));
    } else if (phase == Phase::Erase) {
        m_form.setMessageLine(texts::Updating);
    }
}

void FormPresenter::frameSending(Phase phase, int number) {
    if (phase == Phase::Erase) {
        progressStep(number, kEraseMax, QStringLiteral("Erasing ...  "));
        return;
    }
    if (phase == Phase::Program) {
        progressStep(number, kWriteMax, QStringLiteral("Programming ...  "));
        return;
    }
    for (const SendingText &row : kSendingText)
        if (row.phase == phase)
            m_form.setPanelText(1, QString::fromLatin1(row.text));
}

void FormPresenter::framesDone(Phase phase, int done, int frames) {
    if (phase != Phase::Program || done != frames)
        return;
    m_form.setProgressValue(m_max);
    m_form.setPanelText(1, QStringLiteral("Programming ...  100%"));
}

void FormPresenter::phaseEnded(Phase phase) {
    switch (phase) {
    case Phase::Erase:
        m_indicators = QStringLiteral("E"); // the first letter of an update
        break;
    case Phase::BlankCheck:
        m_indicators += QLatin1Char('B');
        break;
    case Phase::Program:
        m_indicators += QLatin1Char('P');
        break;
    case Phase::Verify:
        m_indicators += QLatin1Char('V');
        break;
    default:
        return;
    }
    m_form.setPanelText(2, m_indicators);
}

void FormPresenter::bootloaderReady() {
    m_form.setMessageLine(QString());
    m_form.setPanelText(1, QStringLiteral("Bootloader Ready ..."));
}

void FormPresenter::versionRead(Phase, const QString &, const QString &installed, bool) {
    m_form.setPanelText(4, installed.isEmpty() ? texts::NoFirmwareVersion : installed);
}

void FormPresenter::tell(const QString &message, Form::Icon icon, const QString &informative) {
    if (!message.isEmpty())
        m_form.messageBox(message, m_st.sTitleVer, icon, Form::Buttons::Ok, Form::Answer::Ok,
                          informative);
}

void FormPresenter::report(Outcome kind, const QString &message, const QString &resultBytes) {
    switch (kind) {
    case Outcome::Done:
        m_form.showSuccess();
        break;
    case Outcome::Declined:
        m_form.setPanelText(1, texts::IdleStatus);
        break;
    case Outcome::ForeignDevice:
        tell(message, Form::Icon::Exclamation);
        m_form.setPanelText(1, texts::IdleStatus);
        break;
    case Outcome::BlankCheckFailed:
    case Outcome::VerifyFailed:
        m_form.setPanelText(1, kind == Outcome::BlankCheckFailed
                                   ? QStringLiteral("Blank Check Failed")
                                   : QStringLiteral("Verify Failed"));
        m_form.setPanelText(3, resultBytes);
        tell(message, Form::Icon::Critical);
        break;
    case Outcome::Cancelled:
        tell(message, Form::Icon::Critical);
        break;
    case Outcome::CommError:
        // The message stays as the update gives it; what to check goes below it.
        tell(message, Form::Icon::Exclamation,
             hints::noReply({.where = QStringLiteral("COM%1").arg(m_st.iComPort),
                             .baud = m_st.sBaudrate,
                             .remote = m_form.remoteChecked(),
                             .lineLost = m_st.outcome.lineLost,
                             .remoteAdvice = QStringLiteral("check Remote Program"),
                             .baudSetting = QString()}));
        break;
    default:
        tell(message, Form::Icon::Exclamation);
        break;
    }
}

void FormPresenter::stopped(Outcome kind) {
    switch (kind) {
    case Outcome::CommError:
    case Outcome::NotBootloader:
    case Outcome::Cancelled:
        clearDisplay();
        break;
    case Outcome::PortMissing:
        m_form.setPanelText(1, texts::IdleStatus);
        break;
    default: // a port in use or refused shows only its message; a finished update its end
        break;
    }
    m_form.setExitCaption(texts::ExitCaption);
}

void FormPresenter::quit() {
    m_form.unloadMainWindow();
}
