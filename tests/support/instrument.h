// The virtual instrument as a second process with its records in a folder, zarvo-flash run
// as a process, and the transcript patterns both are judged by.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

// The frames of a whole update, by command code.
inline const QString kCompleteUpdate =
    QStringLiteral("0001 0301*480 0A02 0202*1658 0A01 0B01 0001 0801");

// A transcript's frames, one per line without the time: code, address, bytes.
inline QStringList transcriptFrames(const QString &path) {
    QStringList out;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (const QByteArrayList f = line.simplified().split(' '); f.size() >= 2)
                out << QString::fromLatin1(f.mid(1).join(' '));
    return out;
}

class Instrument {
public:
    // `port` > 0 links the instrument as that port number; 0 leaves it a bare device.
    Instrument(int port, const QStringList &args, const QString &dir) : m_dir(dir) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList all{"--transcript", transcriptPath(), "--dump", dumpPath(),
                        "--exit-after-finish"};
        if (port > 0)
            all << "--com" << QString::number(port);
        m_process.start(QStringLiteral(ZARVO_BUILD_DIR "/zarvo-sim"), all + args);
        if (m_process.waitForReadyRead(10000))
            m_device = QString::fromLocal8Bit(m_process.readLine().trimmed());
    }
    ~Instrument() { stop(); }
    QString device() const { return m_device; }
    QString transcriptPath() const { return m_dir + "/transcript.txt"; }
    QString dumpPath() const { return m_dir + "/dump.hex"; }
    // After a completed update the instrument ends by itself once FinishUpdate is in.
    // Its end may have been noticed already, by events a wait of the tool processed.
    bool finished() {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit &&
                   m_process.error() == QProcess::UnknownError;
        return m_process.waitForFinished(10000);
    }
    // Ends the instrument, so that its records are complete.
    void stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
        }
    }
    QStringList frames() const { return transcriptFrames(transcriptPath()); }
    // Command codes of the frames it received, in order.
    QByteArrayList codes() const {
        QByteArrayList out;
        for (const QString &frame : frames())
            out << frame.section(' ', 0, 0).toLatin1();
        return out;
    }

private:
    QString m_dir;
    QProcess m_process;
    QString m_device;
};

// "0301*480" exactly 480 frames, "0301*<480" at least one and fewer than 480.
inline bool matchesCodes(const QByteArrayList &codes, const QString &pattern, QString *why) {
    qsizetype at = 0;
    for (const QString &token : pattern.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = token.split('*');
        const QByteArray code = parts[0].toLatin1();
        qsizetype run = 0;
        while (at + run < codes.size() && codes[at + run] == code)
            ++run;
        bool ok = run == 1;
        if (parts.size() == 2) {
            ok = parts[1].startsWith('<') ? run >= 1 && run < parts[1].mid(1).toInt()
                                          : run == parts[1].toInt();
        }
        if (!ok) {
            *why = QStringLiteral("%1: %2 frames of %3 at position %4")
                       .arg(token)
                       .arg(run)
                       .arg(QString::fromLatin1(code))
                       .arg(at);
            return false;
        }
        at += run;
    }
    if (at != codes.size()) {
        *why = QStringLiteral("%1 more frames from %2 on, the first %3")
                   .arg(codes.size() - at)
                   .arg(at)
                   .arg(QString::fromLatin1(codes[at]));
        return false;
    }
    return true;
}

// The command that drops a test's root to the unprivileged user nobody, for what another
// user would do; empty when the test does not run as root or there is no such user.
inline QStringList asNobody() {
    if (::geteuid() != 0 || !::getpwnam("nobody") || !QFile::exists("/usr/bin/setpriv"))
        return {};
    const group *nogroup = ::getgrgid(::getpwnam("nobody")->pw_gid);
    return {QStringLiteral("/usr/bin/setpriv"), QStringLiteral("--reuid=nobody"),
            QStringLiteral("--regid=%1").arg(nogroup ? nogroup->gr_gid : 65534u),
            QStringLiteral("--clear-groups"), QStringLiteral("--")};
}

// zarvo-flash as a separate process; standard input closed unless a file is given.
class Flash {
public:
    // `runAs`: a command that runs the program as another user (asNobody()), or empty.
    explicit Flash(const QStringList &args, const QString &stdinFile = QString(),
                   const QStringList &runAs = {}) {
        if (stdinFile.isEmpty())
            m_process.setStandardInputFile(QProcess::nullDevice());
        else
            m_process.setStandardInputFile(stdinFile);
        const QString program = QStringLiteral(ZARVO_BUILD_DIR "/zarvo-flash");
        if (runAs.isEmpty())
            m_process.start(program, args);
        else
            m_process.start(runAs.first(), runAs.mid(1) + QStringList{program} + args);
        m_process.waitForStarted(10000);
    }
    ~Flash() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
    QProcess &process() { return m_process; }
    // Waits for the line of standard output that contains `text`, keeping what it read.
    bool waitForLine(const QString &text, int timeoutMs = 30000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine());
                m_out += line;
                if (line.contains(text))
                    return true;
            }
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
        }
        return false;
    }
    // Exit status once it has ended, -1 when it did not end in time or was killed.
    int finish(int timeoutMs = 60000) {
        if (!m_process.waitForFinished(timeoutMs))
            return -1;
        m_out += QString::fromUtf8(m_process.readAllStandardOutput());
        m_err += QString::fromUtf8(m_process.readAllStandardError());
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    // The signal that ended it, once finish() has returned; 0 when it exited.
    int endedBySignal() const {
        return m_process.state() == QProcess::NotRunning &&
                       m_process.exitStatus() == QProcess::CrashExit
                   ? m_process.exitCode()
                   : 0;
    }
    QString out() const { return m_out; }
    QString err() const { return m_err; }

private:
    QProcess m_process;
    QString m_out;
    QString m_err;
};
