// The Send transaction: one frame out, its reply awaited in the cooperative wait, checked
// and evaluated; and the receive path that delivers replies into the form state.
#pragma once

#include <QByteArray>
#include <QObject>
#include <chrono>
#include <string_view>

#include "formstate.h"
#include "view.h"

class CommPort;

class Link : public QObject {
    Q_OBJECT
public:
    // A reply that has not come when the pass counter exceeds this (after 1,001 passes
    // of at least 1 ms each, processing events) is given up, and so is one taken in the
    // 1,001st pass.
    static constexpr int kWaitPasses = 1000;
    static constexpr std::chrono::milliseconds kPassSleep{1};
    // Pause after the remote start request, for a late echo.
    static constexpr std::chrono::milliseconds kStartPause{100};

    Link(FormState &state, View &view, CommPort &port, QObject *parent = nullptr);

    FormState &state() { return m_st; }
    CommPort &port() { return m_port; }

    void Send(std::string_view sDataOut);
    void HandleInput(const QByteArray &sReceive);
    // Receive event of MSComm1.
    void MSComm1_OnComm(int commEvent);

    // The update procedure names each phase as it begins, with the frames it will send;
    // Send then tells the view how many of them went through.
    void beginPhase(View::Phase phase, int frames);

    // True once FinishUpdate has actually been handed to the port in this update, so that
    // the completion dialog never follows a FinishUpdate that could not be written.
    bool finishWritten() const { return m_finishWritten; }
    void beginUpdate() { m_finishWritten = false; }

    // The length of one pass of the wait; tests lengthen it to tell passes that ended on
    // input from passes that ran out.
    void setPassLength(std::chrono::nanoseconds length) { m_passLength = length; }
    // Passes the last wait counted: those that ran their full length, and the one in
    // which the wait ended.
    int waitPasses() const { return m_waitPasses; }

    // The one way back to idle: the message, bIdle, the view told why, the port closed. A
    // message is reported before the update stops, or (`messageLast`) once it has. False
    // when the port dropped bytes that were still to leave when it closed.
    bool returnToIdle(Outcome why, const QString &message = {}, bool messageLast = false);

private:
    void prepare();
    void evaluate();
    void evaluateVersion();
    void evaluateCheck(bool blankCheck);
    // The frame's kind as a phase, and its number among those of its kind in this update.
    void tellSending(const QByteArray &code);
    // `lineLost`: the line went away, rather than staying silent.
    void fail(const QString &message, Outcome outcome, const QString &detail,
              bool lineLost = false);
    void endUpdate();
    void frameDone();
    void onDeviceLost(const QString &reason);
    // A whole, well-formed frame in front that answers another command than the one in
    // flight is the late reply to an earlier request (one a cancelled or killed run left
    // unanswered, or one sent twice): it is never this frame's reply, and taken as one it
    // would shift every position read. Such frames are dropped, and a frame of another
    // command still arriving is held back until it is whole; true when either happened.
    // Everything else is left to be judged as the reply.
    bool dropEarlierReplies(QByteArray &received);
    bool answersAnotherCommand(const QByteArray &body) const;

    FormState &m_st;
    View &m_view;
    CommPort &m_port;
    int m_waitDepth = 0; // Send calls waiting for a reply, nested in each other's events
    bool m_lineLost = false;
    QString m_lostReason;
    bool m_finishWritten = false;
    std::chrono::nanoseconds m_passLength = kPassSleep;
    int m_waitPasses = 0;
    int m_eraseSent = 0; // erase frames since the update's first, and write frames
    int m_writeSent = 0;
    View::Phase m_phase = View::Phase::Identify;
    int m_phaseFrames = 0;
    int m_phaseDone = 0;
};
