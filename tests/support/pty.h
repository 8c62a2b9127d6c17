// Test helpers: a pseudo-terminal pair whose master end plays the far side of the line,
// and a sandbox of the per-user port directory so a test can reach a device as port N.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <termios.h>

class QSocketNotifier;

class PtyPair : public QObject {
    Q_OBJECT
public:
    PtyPair();
    ~PtyPair() override;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Bytes the tool wrote, as far as they have arrived within the time given.
    QByteArray read(int timeoutMs = 0);
    // Waits until n bytes arrived (or the time is up) and returns what arrived.
    QByteArray readAtLeast(int n, int timeoutMs = 2000);
    bool write(const QByteArray &bytes);
    // The line settings the tool set on its end.
    termios slaveSettings() const;
    // Closes the master end: the tool's side sees a hang-up.
    void hangUp();

    // Calls `peer` from the event loop with every chunk the tool writes; whatever it
    // returns is written back. Lets a test answer inside the tool's own wait.
    void setPeer(std::function<QByteArray(const QByteArray &)> peer);

private:
    void onReadable();

    int m_master = -1;
    int m_slaveKeep = -1; // keeps the slave side alive between the tool's opens
    QString m_slavePath;
    QSocketNotifier *m_notifier = nullptr;
    std::function<QByteArray(const QByteArray &)> m_peer;
};

// Points XDG_CONFIG_HOME at a temporary directory for the life of the object.
class PortSandbox {
public:
    PortSandbox();
    ~PortSandbox();
    QString portDirectory() const;
    // Makes port N reach `target` (a symbolic link comN).
    bool link(int port, const QString &target);
    // A directory of this user's alone beside the port directory, for a port's files that
    // no other user may replace (a temporary directory's /tmp is one others may write to).
    QString privateDirectory() const;
    // Makes port N reach `name` in privateDirectory() by a relative link, as a link into
    // /dev/serial/by-id reaches its device.
    bool linkPrivate(int port, const QString &name);

private:
    QTemporaryDir m_dir;
    QByteArray m_oldValue;
    bool m_hadValue = false;
};
