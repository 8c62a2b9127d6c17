// The signals that ask a program to end (Ctrl-C, SIGTERM, a hang-up) brought into its
// event loop, so that the end runs as the user's own cancel and close do: from the loop,
// inside Send's wait when an update runs, never from the signal handler itself.
#pragma once

#include <QObject>
#include <initializer_list>

class QSocketNotifier;

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Catches `caught` for the life of the object. Meant to be the only one: objects that
    // live at the same time share the signals, and one of them reports each.
    explicit QuitSignals(std::initializer_list<int> caught, QObject *parent = nullptr);
    ~QuitSignals() override;
    // False when the signals could not be caught (they then end the program as before).
    bool isValid() const { return m_notifier != nullptr; }
    // A signal caught whose report has not come through the event loop yet, taken now; 0
    // when there is none.
    int takePending();

signals:
    void received(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
    QList<int> m_signals;
};
