// The main window's form-level variables, through which the update, Send, the receive path,
// the cancel and the dialogs talk to each other. Declared in the window's order.
#pragma once

#include <QByteArray>
#include <QString>

#include "appinfo.h"
#include "outcome.h"

struct FormState {
    bool bSuccess = false; // true while the completion dialog is loaded
    QString sTitleVer;     // caption, and title of the tool's message boxes
    QString sVersion;      // four digits: major and minor version, two each
    bool bFirstErase = false;
    bool bFirstWrite = false;
    bool bIdle = true;
    bool bCheckFailed = false;
    bool bReceived = false;
    bool bVersionOK = false;
    bool bEndUpdate = false;
    qint16 iComPort = 1;
    QString sBaudrate = QString::number(appinfo::kDefaultBaudRate);
    QByteArray sCommand;   // command code of the frame in flight, e.g. "0301"
    QByteArray sReply;     // the last reply as received, one byte per character
    QByteArray sWakeReply; // the echo expected to the remote start request
    UpdateOutcome outcome; // how the last update ended

    friend bool operator==(const FormState &, const FormState &) = default;
};
