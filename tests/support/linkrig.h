// What the link and update tests stand on: a scripted bootloader on a pseudo-terminal
// reached as port N, the form state, a recording window, the port and the link; and a
// second process that holds a device as another serial program would.
#pragma once

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <functional>
#include <memory>

#include "bootpeer.h"
#include "commport.h"
#include "link.h"
#include "pty.h"
#include "recordingview.h"

struct LinkRig {
    PortSandbox sandbox;
    PtyPair pty;
    BootPeer peer{pty};
    FormState st;
    RecordingView view{st};
    CommPort port;
    Link link{st, view, port};

    explicit LinkRig(int portNumber) {
        sandbox.link(portNumber, pty.slavePath());
        st.sTitleVer = QStringLiteral("Title v1012");
        st.sVersion = QStringLiteral("1012");
    }
    QByteArrayList codes() const {
        QByteArrayList out;
        for (const PeerFrame &f : peer.frames)
            out << f.code;
        return out;
    }
    int count(const QByteArray &code) const { return int(codes().count(code)); }
};

// Another program holding a device: with its lock file and exclusive use, or (`plain`)
// only open, as `cat < device` holds it.
class PortHolder {
public:
    explicit PortHolder(const QString &device, bool plain = false) {
        m_process.start(QStringLiteral(ZARVO_BUILD_DIR "/zarvo-portholder"),
                        plain ? QStringList{QStringLiteral("--plain"), device}
                              : QStringList{device});
        m_held = m_process.waitForReadyRead(10000) && m_process.readLine().trimmed() == "held";
    }
    ~PortHolder() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    bool held() const { return m_held; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    bool m_held = false;
};

// Two updates in one process, each against its own virtual instrument: nothing the first
// leaves behind may decide the second. With "unplug" the second one's line goes as soon as
// the version read back is in, so that FinishUpdate cannot be written. "reason" is part of
// the detail every communication error of the row must carry: the device's own, not a wait
// that ran out.
inline void addTwoUpdateRows() {
    QTest::addColumn<QStringList>("first"); // the instruments' options
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<bool>("unplug");
    QTest::addColumn<int>("firstOutcome");
    QTest::addColumn<int>("secondOutcome");
    QTest::addColumn<QString>("reason");
    const QStringList hangUp{"--hang-up", "300"};
    QTest::newRow("hang-up, then a complete update")
        << hangUp << QStringList{} << false << int(Outcome::CommError) << int(Outcome::Done)
        << "is no longer available";
    QTest::newRow("hang-up, then another") << hangUp << hangUp << false << int(Outcome::CommError)
                                           << int(Outcome::CommError) << "is no longer available";
    QTest::newRow("complete, then FinishUpdate not written")
        << QStringList{} << QStringList{} << true << int(Outcome::Done) << int(Outcome::CommError)
        << "Input/output error";
}

// The ports an update cannot use, each with the message its attempt must end in and the
// outcome it reports.
inline void addUnusablePortRows() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("outcome");
    QTest::newRow("missing") << "missing"
                             << "Selected Com Port is not available." << int(Outcome::PortMissing);
    QTest::newRow("in use") << "held"
                            << "Selected COM Port is already in use by another application."
                            << int(Outcome::PortInUse);
    QTest::newRow("open in another program without a lock file")
        << "opened"
        << "Selected COM Port is already in use by another application." << int(Outcome::PortInUse);
    QTest::newRow("not a serial device")
        << "file"
        << "Selected COM Port could not be opened." << int(Outcome::PortUnusable);
    QTest::newRow("gone between the check and the open")
        << "vanishing"
        << "Selected Com Port is not available." << int(Outcome::PortMissing);
}

// Makes port N unusable as a row of addUnusablePortRows() says; "held" holds `device`
// from another process, "opened" only has it open there. "vanishing" reaches `device` through a
// second link, as a by-id name does, and both go once the port check has closed the port (see
// watch()). Other kinds leave the port alone.
class UnusablePort {
public:
    UnusablePort(PortSandbox &sandbox, int port, const QString &kind, const QString &device) {
        // Both in a directory nobody else may write to, or the port would be refused for that.
        if (kind == "vanishing") {
            m_byId = sandbox.privateDirectory() + QStringLiteral("/usb-serial-adapter-if00");
            m_ready = QFile::link(device, m_byId) &&
                      sandbox.linkPrivate(port, QStringLiteral("usb-serial-adapter-if00"));
        } else if (kind == "missing") {
            m_ready = sandbox.link(port, QStringLiteral("/dev/zarvo-no-such-device"));
        } else if (kind == "file") {
            m_file.setFileTemplate(sandbox.privateDirectory() + QStringLiteral("/plain-XXXXXX"));
            m_ready = m_file.open() &&
                      sandbox.linkPrivate(port, QFileInfo(m_file.fileName()).fileName());
        } else if (kind == "held" || kind == "opened") {
            m_holder = std::make_unique<PortHolder>(device, kind == "opened");
            m_ready = m_holder->held();
        }
    }
    ~UnusablePort() { QObject::disconnect(m_watch); }
    bool ready() const { return m_ready; }
    void release() { m_holder.reset(); }
    // A vanishing port goes at the first close of `port`, the one that ends the port check
    // before the update opens the port again: the device is unplugged (`unplug`) and its
    // by-id link goes with it, as udev removes it. Any other kind ignores this.
    void watch(CommPort &port, std::function<void()> unplug) {
        if (m_byId.isEmpty())
            return;
        m_watch = QObject::connect(&port, &CommPort::closed, [this, unplug = std::move(unplug)] {
            QObject::disconnect(m_watch);
            QFile::remove(m_byId);
            unplug();
        });
    }
    // The line a message adds to name the holder; empty unless the port is held.
    QString holderLine() const {
        return m_holder ? QStringLiteral("\nIt is held by zarvo-portholder (process %1).")
                              .arg(m_holder->pid())
                        : QString();
    }

private:
    QTemporaryFile m_file;
    QString m_byId;
    QMetaObject::Connection m_watch;
    std::unique_ptr<PortHolder> m_holder;
    bool m_ready = true;
};
