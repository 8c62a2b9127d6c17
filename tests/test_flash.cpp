// zarvo-flash against the virtual instrument: its exit statuses and texts, its events, the
// same frames as the window's update, several at once, the cancel by signal, and the
// port directory's links. Judged by the instrument's transcript and the exit status.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "dialogs.h"
#include "engine.h"
#include "frmmain.h"
#include "image.h"
#include "instrument.h"
#include "linkrig.h"
#include "options.h"
#include "plan.h"
#include "portnames.h"
#include "ports.h"
#include "pty.h"
#include "runtime.h"
#include "status.h"
#include "telnetserver.h"
#include "textreporter.h"

namespace {

constexpr int kPort = 5;

// The lock file Qt and the usual serial programs write for a device below /dev.
QString lockFileFor(const QString &device) {
    QString name = device.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("/var/lock/LCK..") + name;
}

QList<QJsonObject> events(const QString &out) {
    QList<QJsonObject> list;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
        list << QJsonDocument::fromJson(line.toUtf8()).object();
    return list;
}

} // namespace

class TestFlash : public QObject {
    Q_OBJECT

    RuntimeSandbox m_runtime;

private slots:
    void initTestCase() {
        QVERIFY(m_runtime.isValid());
        QVERIFY(QFile::exists(ZARVO_BUILD_DIR "/zarvo-flash"));
    }

    void badArguments_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        QTest::newRow("unknown option") << QStringList{"--port", "5", "--fast"} << "'fast'";
        QTest::newRow("baud the instrument does not use")
            << QStringList{"--port", "5", "--baud", "9600"} << "--baud 9600";
        QTest::newRow("port 0") << QStringList{"--port", "0"} << "--port '0'";
        QTest::newRow("port 100") << QStringList{"--port", "COM100"} << "--port 'COM100'";
        QTest::newRow("port not a number") << QStringList{"--port", "five"} << "--port 'five'";
        QTest::newRow("--yes with --keep-newer")
            << QStringList{"--port", "5", "--yes", "--keep-newer"} << "exclude each other";
        QTest::newRow("nothing to do") << QStringList{"--json"} << "nothing to do";
        QTest::newRow("two commands")
            << QStringList{"--port", "5", "--list-ports"} << "exclude each other";
        QTest::newRow("port twice")
            << QStringList{"--port", "5", "--port", "6"} << "more than once";
        QTest::newRow("missing value") << QStringList{"--port"} << "'--port'";
        QTest::newRow("map without device") << QStringList{"--map", "5"} << "--map N DEVICE";
        QTest::newRow("map port out of range")
            << QStringList{"--map", "100", "/dev/null"} << "'100'";
        QTest::newRow("update option without update")
            << QStringList{"--list-ports", "--yes"} << "--yes applies only";
        QTest::newRow("stray argument") << QStringList{"--port", "5", "now"} << "'now'";
        QTest::newRow("port number with a newline after it")
            << QStringList{"--port", "5\n"} << "is neither a port number";
        QTest::newRow("map number with a newline after it")
            << QStringList{"--map", "5\n", "/dev/null"} << "is not from 1 to";
        QTest::newRow("address without a TCP port")
            << QStringList{"--port", "rfc2217://meter"} << "the TCP port is missing";
        QTest::newRow("address with TCP port 0")
            << QStringList{"--port", "tcp://meter:0"} << "must be from 1 to 65535, not 0";
        QTest::newRow("address of another kind")
            << QStringList{"--port", "ssh://meter:22"} << "unknown kind of network port";
        QTest::newRow("map an address without host")
            << QStringList{"--map", "5", "rfc2217://:3005"} << "the host is missing";
        QTest::newRow("--probe without --list-ports")
            << QStringList{"--port", "5", "--probe"} << "--probe applies only to --list-ports";
    }
    void badArguments() {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        PortSandbox sandbox;
        Flash flash(args);
        QCOMPARE(flash.finish(), 2);
        QVERIFY(flash.out().isEmpty());
        QCOMPARE(flash.err().count('\n'), 1);
        QVERIFY2(flash.err().startsWith("zarvo-flash: ") && flash.err().contains(says),
                 qPrintable(flash.err()));
        QVERIFY(QDir(sandbox.portDirectory()).isEmpty());
    }

    // Each way an update ends: the exit status, the window's message and the detail on
    // standard error, and the frames that reached the instrument.
    void endings_data() {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("args");
        // "missing", "held" (a lock file), "opened" (open in a program without one), "file",
        // "device", "COM99" (the highest number), "refused" (a device this user may not open)
        // or "" (COM5)
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("says"); // on standard error, in order
        QTest::addColumn<QString>("codes");
        const QString commError = "Error communicating with Port.";
        // After a communication error, what to check, naming the device.
        const QStringList hint{"Hint: no reply on COM5 (",
                               "/com5). Does the meter's display read "
                               "\"BOOTLOADER READY...\"? If its firmware is running instead, "
                               "add --remote; if it does, check that the meter uses 4800 baud"};
        const QString question = "Would you like to replace version 1012 with 1012?";
        const QStringList same{"--version", "1012"};
        QTest::newRow("complete") << QStringList{} << QStringList{} << "" << 0 << QStringList{}
                                  << kCompleteUpdate;
        QTest::newRow("remote, 2400") << QStringList{"--mode", "application", "--baud", "2400"}
                                      << QStringList{"--remote", "--baud", "2400"} << "" << 0
                                      << QStringList{} << "0000 " + kCompleteUpdate;
        QTest::newRow("COM99") << QStringList{} << QStringList{} << "COM99" << 0 << QStringList{}
                               << kCompleteUpdate;
        QTest::newRow("by device path")
            << QStringList{} << QStringList{} << "device" << 0 << QStringList{} << kCompleteUpdate;
        QTest::newRow("newer kept: no terminal to ask")
            << same << QStringList{} << "" << 3 << QStringList{question, "not a terminal"}
            << "0001";
        QTest::newRow("newer kept: --keep-newer")
            << same << QStringList{"--keep-newer"} << "" << 3 << QStringList{} << "0001";
        QTest::newRow("newer replaced: --yes")
            << same << QStringList{"--yes"} << "" << 0 << QStringList{} << kCompleteUpdate;
        QTest::newRow("foreign device")
            << QStringList{"--id", "0417"} << QStringList{} << "" << 10
            << QStringList{"Attached device is not the ZARVO-415B.", "identification 0417"}
            << "0001";
        QTest::newRow("blank check fails")
            << QStringList{"--fail-blank-check"} << QStringList{} << "" << 11
            << QStringList{"Blank Check Error", "result bytes 00-40-00-01"} << "0001 0301*480 0A02";
        QTest::newRow("verify fails") << QStringList{"--fail-verify"} << QStringList{} << "" << 12
                                      << QStringList{"Verify Checksum Error", "result bytes"}
                                      << "0001 0301*480 0A02 0202*1658 0A01";
        QTest::newRow("no reply mid-programming")
            << QStringList{"--drop-reply", "1182"} << QStringList{} << "" << 9
            << QStringList{commError, "no reply to command 0202"} + hint
            << "0001 0301*480 0A02 0202*700";
        QTest::newRow("line hung up mid-erase")
            << QStringList{"--hang-up", "300"} << QStringList{} << "" << 9
            << QStringList{commError, "Hint: the connection to COM5 (",
                           "/com5) dropped during the update."}
            << "0001 0301*299";
        // The bootloader was asked for: adding --remote is no advice.
        QTest::newRow("no reply after --remote")
            << QStringList{"--mode", "application", "--drop-reply", "1"} << QStringList{"--remote"}
            << "" << 9
            << QStringList{commError, "no reply to command 0001", "Hint: no reply on COM5 (",
                           "/com5). Is the meter switched on and connected to it? Check that the "
                           "meter uses 4800 baud (--baud)."}
            << "0000 0001";
        QTest::newRow("instrument running its firmware")
            << QStringList{"--mode", "application"} << QStringList{} << "" << 9
            << QStringList{commError, "no reply to command 0001"} + hint << "";
        QTest::newRow("not in bootloader mode")
            << QStringList{"--garble-reply", "1"} << QStringList{} << "" << 8
            << QStringList{"Make sure device is in bootloader mode.", "reply "} << "0001";
        QTest::newRow("port missing")
            << QStringList{} << QStringList{} << "missing" << 4
            << QStringList{"Selected Com Port is not available.", "/dev/zarvo-no-such-device"}
            << "";
        QTest::newRow("port in use")
            << QStringList{} << QStringList{} << "held" << 5
            << QStringList{"Selected COM Port is already in use by another application.",
                           "is in use by"}
            << "";
        QTest::newRow("no permission")
            << QStringList{} << QStringList{} << "refused" << 6
            << QStringList{"Selected COM Port could not be opened.",
                           QString::fromLocal8Bit(std::strerror(EACCES)), "dialout"}
            << "";
        QTest::newRow("port open in another program without a lock file")
            << QStringList{} << QStringList{} << "opened" << 5
            << QStringList{"Selected COM Port is already in use by another application.",
                           "It is held by zarvo-portholder"}
            << "";
        QTest::newRow("not a serial device")
            << QStringList{} << QStringList{} << "file" << 7
            << QStringList{"Selected COM Port could not be opened."} << "";
    }
    void endings() {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, args);
        QFETCH(QString, port);
        QFETCH(int, status);
        QFETCH(QStringList, says);
        QFETCH(QString, codes);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(port == "COM99" ? 99 : kPort, sim, records.path());
        QVERIFY(!instrument.device().isEmpty());
        std::unique_ptr<UnusablePort> unusable;
        if (port == "missing" || port == "file" || port == "held" || port == "opened") {
            if (port != "held" && port != "opened")
                QFile::remove(sandbox.portDirectory() + "/com5");
            unusable = std::make_unique<UnusablePort>(sandbox, kPort, port, instrument.device());
            QVERIFY(unusable->ready());
        }
        // Root opens any device: the refusal is then met by an unprivileged user, who may
        // reach the port directory but not the device. Any other user is refused a device
        // whose mode lets nobody in.
        QStringList runAs;
        if (port == "refused") {
            if (::geteuid() == 0) {
                runAs =
                    QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
                QDir dir(sandbox.portDirectory());
                for (int up = 0; up < 3; ++up, dir.cdUp())
                    QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) |
                                                                  QFile::ExeOther));
            } else {
                QVERIFY(QFile::setPermissions(instrument.device(), {}));
            }
        }
        const QStringList target = port == "device"  ? QStringList{"--port", instrument.device()}
                                   : port == "COM99" ? QStringList{"--port", "COM99"}
                                                     : QStringList{"--port", "5"};
        Flash flash(target + args, QString(), runAs);
        QCOMPARE(flash.finish(), status);
        qsizetype at = 0;
        for (const QString &text : says) {
            at = flash.err().indexOf(text, at);
            QVERIFY2(at >= 0, qPrintable(text + " not in:\n" + flash.err()));
        }
        // The hint is for no reply alone.
        QCOMPARE(flash.err().contains("Hint: "), status == 9);
        if (status == 0) {
            // Nothing on standard error but what another user's leftovers on this machine may
            // cause: a lock file his program left for the same pseudo-terminal number.
            static const QRegularExpression theirLock(
                "^zarvo\\.serial: (ignored lock file|no lock file written for /dev/pts/[0-9]+ "
                "since) /\\S+/LCK\\.\\.pts_[0-9]+ belongs to user ");
            QStringList unexpected = flash.err().split('\n', Qt::SkipEmptyParts);
            unexpected.removeIf([](const QString &line) { return theirLock.match(line).hasMatch(); });
            QVERIFY2(unexpected.isEmpty(), qPrintable(flash.err()));
            QVERIFY(flash.out().contains("the instrument reports 1012.01"));
            QVERIFY(instrument.finished());
        } else if (status != 3) {
            QVERIFY(flash.err().contains(QStringLiteral("exit status %1").arg(status)));
        }
        unusable.reset();
        instrument.stop();
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), codes, &why), qPrintable(why));
    }

    // --json: one object a line, in the order things happen, and the result as data.
    void jsonEvents_data() {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("names"); // event names, repeats of a name folded
        QTest::addColumn<QStringList>("phases");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("installed");
        QTest::newRow("complete") << QStringList{}
                                  << QStringList{"open",     "phase",    "identified",
                                                 "phase",    "progress", "phase",
                                                 "progress", "phase",    "result"}
                                  << QStringList{"identify",  "erase",  "blank-check",
                                                 "program",   "verify", "reset-defaults",
                                                 "read-back", "finish"}
                                  << "done"
                                  << ""
                                  << "1003.01";
        QTest::newRow("blank check fails")
            << QStringList{"--fail-blank-check"}
            << QStringList{"open", "phase", "identified", "phase", "progress", "phase", "result"}
            << QStringList{"identify", "erase", "blank-check"} << "blank-check-failed"
            << "result bytes 00-40-00-01"
            << "1003.01";
        // The update runs through its remaining phases without sending: none of them is told.
        QTest::newRow("no reply mid-erase")
            << QStringList{"--drop-reply", "100"}
            << QStringList{"open", "phase", "identified", "phase", "progress", "result"}
            << QStringList{"identify", "erase"} << "communication-error"
            << "no reply to command 0301"
            << "1003.01";
        QTest::newRow("meter without firmware")
            << QStringList{"--no-firmware"}
            << QStringList{"open",  "phase",    "identified", "phase", "progress",
                           "phase", "progress", "phase",      "result"}
            << QStringList{"identify", "erase",          "blank-check", "program",
                           "verify",   "reset-defaults", "read-back",   "finish"}
            << "done"
            << ""
            << "none";
    }
    void jsonEvents() {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, names);
        QFETCH(QStringList, phases);
        QFETCH(QString, outcome);
        QFETCH(QString, detail);
        QFETCH(QString, installed);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, sim, records.path());
        Flash flash({"--port", "COM5", "--json"});
        int status = -1;
        for (const cli::StatusRow &row : cli::kStatusTable)
            status = outcome == row.name ? row.status : status;
        QCOMPARE(flash.finish(), status);
        QVERIFY(flash.err().isEmpty());
        const QList<QJsonObject> list = events(flash.out());
        QStringList seen, seenPhases;
        for (const QJsonObject &e : list) {
            QVERIFY2(e.contains("event"), qPrintable(flash.out()));
            if (seen.isEmpty() || seen.last() != e["event"].toString())
                seen << e["event"].toString();
            if (e["event"] == "phase")
                seenPhases << e["name"].toString();
        }
        QVERIFY2(seen == names, qPrintable(seen.join(' ')));
        QCOMPARE(seenPhases, phases);
        QCOMPARE(list.first()["device"].toString(), sandbox.portDirectory() + "/com5");
        QCOMPARE(list[2]["device"].toString(), QStringLiteral("0415"));
        QCOMPARE(list[2]["installed"].toString(), installed);
        QCOMPARE(list[2]["new"].toString(), QStringLiteral("1012"));
        const QJsonObject result = list.last();
        QCOMPARE(result["outcome"].toString(), outcome);
        QCOMPARE(result["detail"].toString(), detail);
        // Progress is rationed: a few a second, and each phase's 100% once.
        int progress = 0;
        for (const QJsonObject &e : list)
            progress += e["event"] == "progress";
        QVERIFY2(progress <= 4 * result["elapsed"].toDouble() + 6, qPrintable(flash.out()));
    }

    // A raw TCP line carries no speed, and the run says so however its address is written:
    // the console reads the address as the port control does.
    void rawLineNote_data() {
        QTest::addColumn<QStringList>("args"); // @: the server's TCP port
        QTest::addColumn<QString>("link");     // what COM5 leads to; empty: no link
        QTest::newRow("address in capitals") << QStringList{"--port", "TCP://127.0.0.1:@"} << "";
        QTest::newRow("COM5 led by hand to one in capitals")
            << QStringList{"--port", "5"} << "TCP://127.0.0.1:@";
    }
    void rawLineNote() {
        QFETCH(QStringList, args);
        QFETCH(QString, link);
        PortSandbox sandbox;
        // Answers the identification with bytes no bootloader sends: the run ends there.
        TelnetScript script;
        script.negotiation = TelnetScript::Negotiation::RawOnly;
        script.peer = [](QByteArray &pending) {
            if (pending.isEmpty())
                return QByteArray();
            pending.clear();
            return QByteArray(18, '\0');
        };
        TelnetServer server(script);
        const QString port = QString::number(server.port());
        if (!link.isEmpty())
            QVERIFY(sandbox.link(kPort, link.replace("@", port)));
        args.replaceInStrings("@", port);
        Flash flash(args + QStringList{"--json"});
        QCOMPARE(flash.finish(), 8);
        const QList<QJsonObject> list = events(flash.out());
        QVERIFY2(!list.isEmpty() && list.first()["event"] == "open", qPrintable(flash.out()));
        QCOMPARE(list.first()["device"].toString(), link.isEmpty() ? args[1] : link);
        QCOMPARE(list.first()["note"].toString(),
                 QStringLiteral("raw TCP carries no speed setting: the far line stays at the "
                                "speed its server set"));
    }

    // The events of a whole update on their own, as a program reading --json sees them:
    // every phase once and in order, each counted phase's frames rising to all of them, one
    // identification and one result, whatever the window writes in its panels.
    void jsonWholeUpdate() {
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {}, records.path());
        Flash flash({"--port", "5", "--json"});
        QCOMPARE(flash.finish(), 0);
        QStringList phases;
        QMap<QString, int> count;
        QMap<QString, int> done; // the last count of each counted phase
        QMap<QString, int> frames;
        QString current;
        for (const QJsonObject &e : events(flash.out())) {
            const QString name = e["event"].toString();
            ++count[name];
            if (name == "phase") {
                current = e["name"].toString();
                phases << current;
                frames[current] = e["frames"].toInt();
            } else if (name == "progress") {
                QCOMPARE(e["phase"].toString(), current);
                QCOMPARE(e["frames"].toInt(), frames[current]);
                QVERIFY2(frames[current] > 0, qPrintable(flash.out()));
                QVERIFY2(e["done"].toInt() >= done.value(current, 0), qPrintable(flash.out()));
                done[current] = e["done"].toInt();
                QCOMPARE(e["percent"].toInt(), done[current] * 100 / frames[current]);
            } else {
                QVERIFY2(name == "open" || name == "identified" || name == "result",
                         qPrintable(name));
            }
        }
        QCOMPARE(phases, (QStringList{"identify", "erase", "blank-check", "program", "verify",
                                      "reset-defaults", "read-back", "finish"}));
        QCOMPARE(frames["erase"], 480);
        QCOMPARE(frames["program"], 1658);
        QCOMPARE(done["erase"], 480);
        QCOMPARE(done["program"], 1658);
        QCOMPARE(done.size(), 2); // the single frames are not counted out
        QCOMPARE(count["open"], 1);
        QCOMPARE(count["identified"], 1);
        QCOMPARE(count["result"], 1);
        QCOMPARE(events(flash.out()).last()["version"].toString(), QStringLiteral("1012.01"));
    }

    // The bytes the time left is reckoned from are those that cross the line, as the
    // instrument counts them.
    void planIsWhatCrossesTheLine_data() {
        QTest::addColumn<bool>("remote");
        QTest::newRow("local start") << false;
        QTest::newRow("remote start") << true;
    }
    void planIsWhatCrossesTheLine() {
        QFETCH(bool, remote);
        PortSandbox sandbox;
        QTemporaryDir records;
        const QString summary = records.filePath("summary.txt");
        QStringList sim{"--summary", summary};
        if (remote)
            sim << "--mode"
                << "application";
        {
            Instrument instrument(kPort, sim, records.path());
            Flash flash(QStringList{"--port", "5", "--quiet"} +
                        (remote ? QStringList{"--remote"} : QStringList{}));
            QCOMPARE(flash.finish(), 0);
            QVERIFY(instrument.finished());
        }
        QFile file(summary);
        QVERIFY(file.open(QIODevice::ReadOnly));
        qint64 crossed = 0;
        for (const QByteArray &line : file.readAll().split('\n'))
            if (line.startsWith("bytes-in ") || line.startsWith("bytes-out "))
                crossed += line.split(' ').value(1).toLongLong();
        const TimeLeft plan(updatePlan(remote), 4800);
        QCOMPARE(qint64(plan.totalBytes()), crossed);
    }

    // The time left, reckoned where the update stands, against the truth of a line that
    // carries each byte in 10 bit times and an instrument that takes its time per frame.
    void timeLeft_data() {
        QTest::addColumn<int>("baud");
        QTest::addColumn<double>("perFrameMs"); // the instrument's time and the turnaround
        QTest::addColumn<int>("phase");         // View::Phase
        QTest::addColumn<int>("done");
        QTest::addColumn<double>("slack"); // seconds the estimate may be off
        using P = View::Phase;
        // Five seconds into the erase at 4800: the erase frames are half as long as the
        // write frames still to come, so their pace alone says half the truth.
        QTest::newRow("4800, early in the erase") << 4800 << 2.0 << int(P::Erase) << 160 << 2.0;
        QTest::newRow("4800, end of the erase") << 4800 << 2.0 << int(P::Erase) << 480 << 2.0;
        QTest::newRow("4800, a third of the program")
            << 4800 << 2.0 << int(P::Program) << 550 << 2.0;
        QTest::newRow("1200, early in the erase") << 1200 << 2.0 << int(P::Erase) << 40 << 6.0;
        // A remote line (ser2net, a radio link) adds its own time to every exchange.
        QTest::newRow("4800, slow remote line, early in the erase")
            << 4800 << 40.0 << int(P::Erase) << 100 << 4.0;
    }
    void timeLeft() {
        QFETCH(int, baud);
        QFETCH(double, perFrameMs);
        QFETCH(int, phase);
        QFETCH(int, done);
        QFETCH(double, slack);
        const std::vector<PhaseLoad> plan = updatePlan(false);
        const TimeLeft estimate(plan, baud);
        // The truth: every frame and its reply at the line's pace, plus the time per frame.
        const auto at = [&](TimeLeft::Position position) {
            double frames = 0;
            for (const PhaseLoad &load : plan) {
                if (load.phase == position.phase) {
                    frames += position.done;
                    break;
                }
                frames += load.frames;
            }
            return estimate.bytesBefore(position) * 10 / baud + frames * perFrameMs / 1000;
        };
        const TimeLeft::Position from{View::Phase::Erase, 0};
        const TimeLeft::Position now{View::Phase(phase), done};
        const double whole = at({View::Phase::Finish, 1});
        const double elapsed = at(now) - at(from);
        const double truth = whole - at(now);
        const double left = estimate.secondsLeft(from, now, elapsed);
        QVERIFY2(
            std::abs(left - truth) <= slack,
            qPrintable(QStringLiteral("%1 s left estimated, %2 s the truth").arg(left).arg(truth)));
        // The line's own part is the benchmark's line bound less the instrument's time.
        QVERIFY(estimate.lineSeconds() < whole);
    }

    // The command line sends exactly the window's frames, byte for byte.
    void sameAsWindow_data() {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("local, 4800") << QStringList{} << QStringList{};
        QTest::newRow("remote, 1200") << QStringList{"--mode", "application", "--baud", "1200"}
                                      << QStringList{"--remote", "--baud", "1200"};
    }
    void sameAsWindow() {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, args);
        PortSandbox sandbox;
        QTemporaryDir windowRecords, flashRecords;
        {
            Instrument instrument(kPort, sim, windowRecords.path());
            frmMain w;
            QVERIFY(w.Form_Load());
            w.engine.state.iComPort = kPort;
            w.engine.state.sBaudrate = args.contains("--baud") ? args.last() : "4800";
            w.findChild<QCheckBox *>("chkRemote")->setChecked(args.contains("--remote"));
            w.cmdProgram_Click();
            QVERIFY(w.engine.state.bSuccess);
            QVERIFY(instrument.finished());
            w.close();
            UnloadAllForms();
        }
        Instrument instrument(kPort, sim, flashRecords.path());
        Flash flash(QStringList{"--port", "5"} + args);
        QCOMPARE(flash.finish(), 0);
        QVERIFY(instrument.finished());
        const QStringList windowFrames = transcriptFrames(windowRecords.path() + "/transcript.txt");
        QVERIFY(windowFrames.size() > 2000);
        QCOMPARE(instrument.frames(), windowFrames);
    }

    // Two updates at once on two ports, each its own process: both complete.
    void twoAtOnce() {
        PortSandbox sandbox;
        QTemporaryDir first, second;
        Instrument a(kPort, {}, first.path());
        Instrument b(kPort + 1, {}, second.path());
        Flash flashA({"--port", "5", "--quiet"});
        Flash flashB({"--port", "6", "--quiet"});
        QCOMPARE(flashA.finish(), 0);
        QCOMPARE(flashB.finish(), 0);
        QVERIFY(flashA.out().isEmpty() && flashA.err().isEmpty());
        QVERIFY(a.finished() && b.finished());
        QString why;
        QVERIFY2(matchesCodes(a.codes(), kCompleteUpdate, &why), qPrintable(why));
        QVERIFY2(matchesCodes(b.codes(), kCompleteUpdate, &why), qPrintable(why));
    }

    // zarvo-flash runs one update a process; its core, the same engine behind a console, is
    // made to run two, as the window does.
    void twoUpdatesInOneCore_data() { addTwoUpdateRows(); }
    void twoUpdatesInOneCore() {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(bool, unplug);
        QFETCH(int, firstOutcome);
        QFETCH(int, secondOutcome);
        QFETCH(QString, reason);
        PortSandbox sandbox;
        QTemporaryDir records[2];
        struct Console : cli::TextReporter {
            using cli::TextReporter::TextReporter;
            int successShown = 0;
            int phasesTold = 0;
            void report(Outcome kind, const QString &message, const QString &bytes) override {
                successShown += kind == Outcome::Done;
                cli::TextReporter::report(kind, message, bytes);
            }
            void phaseStarted(const char *name, int frames) override {
                ++phasesTold;
                cli::TextReporter::phaseStarted(name, frames);
            }
        };
        cli::ConsoleView::Setup setup;
        setup.quiet = true;
        setup.port = QStringLiteral("COM5");
        setup.baud = QStringLiteral("4800");
        setup.version = QStringLiteral("1012");
        Console view(setup);
        Engine engine(view);
        FormState &st = engine.state;
        st.sVersion = setup.version;
        st.sTitleVer = QStringLiteral("Title v1012");
        st.iComPort = kPort;
        st.sBaudrate = setup.baud;
        int shown = 0;
        for (int n = 0; n < 2; ++n) {
            Instrument instrument(kPort, n == 0 ? first : second, records[n].path());
            QVERIFY(!instrument.device().isEmpty());
            // Runs right after the reply is stored, before the next frame is written.
            int versionReplies = 0;
            const QMetaObject::Connection pull =
                connect(&engine.MSComm1, &CommPort::commEvent, this, [&](int) {
                    if (n == 1 && unplug && st.sCommand == "0001" && ++versionReplies == 2)
                        instrument.stop();
                });
            view.phasesTold = 0;
            engine.updater.cmdProgram_Click();
            disconnect(pull);
            const int outcome = n == 0 ? firstOutcome : secondOutcome;
            const bool done = outcome == int(Outcome::Done);
            // Every phase is told, also after an update that stopped part way.
            if (done)
                QCOMPARE(view.phasesTold, 8);
            QCOMPARE(int(st.outcome.value), outcome);
            if (!done)
                QVERIFY2(st.outcome.detail.contains(reason), qPrintable(st.outcome.detail));
            shown += done;
            QCOMPARE(view.successShown, shown);
            QVERIFY(st.bIdle);
            QVERIFY(!engine.MSComm1.isOpen());
        }
    }

    // A reader that goes away (`zarvo-flash --json | head -n 1`) must not stop the update
    // half way, with the instrument erased: the update goes on to its end.
    void outputGoneAway() {
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {"--reply-delay", "1"}, records.path());
        QProcess flash, head;
        // SIGPIPE as a shell leaves it, whatever this test process does with it.
        flash.setChildProcessModifier([] { ::signal(SIGPIPE, SIG_DFL); });
        flash.setStandardInputFile(QProcess::nullDevice());
        flash.setStandardOutputProcess(&head);
        head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("1")});
        flash.start(QStringLiteral(ZARVO_BUILD_DIR "/zarvo-flash"),
                    {QStringLiteral("--port"), QStringLiteral("5"), QStringLiteral("--json")});
        QVERIFY(head.waitForFinished(30000));
        QVERIFY(head.readAllStandardOutput().contains("\"event\":\"open\""));
        QVERIFY(flash.waitForFinished(60000));
        QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
        QCOMPARE(flash.exitCode(), 0);
        QVERIFY(instrument.finished());
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), kCompleteUpdate, &why), qPrintable(why));
    }

    // The question on a terminal; while it waits the port stays held, so a second update
    // on the same port is told it is in use; Ctrl-C at the question cancels.
    void question_data() {
        QTest::addColumn<QByteArray>("typed"); // empty: interrupted instead
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("codes");
        QTest::newRow("y") << QByteArray("y\n") << 0 << kCompleteUpdate;
        QTest::newRow("yes") << QByteArray("YES\n") << 0 << kCompleteUpdate;
        QTest::newRow("Enter") << QByteArray("\n") << 3 << "0001";
        QTest::newRow("n") << QByteArray("n\n") << 3 << "0001";
        // Ends by the signal once the cancel has run (status -1: not a normal exit).
        QTest::newRow("Ctrl-C") << QByteArray() << -1 << "0001";
    }
    void question() {
        QFETCH(QByteArray, typed);
        QFETCH(int, status);
        QFETCH(QString, codes);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {"--version", "1012"}, records.path());
        PtyPair terminal;
        Flash flash({"--port", "5", "--json"}, terminal.slavePath());
        QVERIFY(flash.waitForLine("\"identified\""));

        Flash second({"--port", "5"});
        QCOMPARE(second.finish(), 5);
        QVERIFY(second.err().contains("already in use"));

        if (typed.isEmpty())
            ::kill(flash.process().processId(), SIGINT);
        else
            terminal.write(typed);
        QCOMPARE(flash.finish(), status);
        QCOMPARE(flash.endedBySignal(), typed.isEmpty() ? SIGINT : 0);
        QVERIFY(flash.err().startsWith("Would you like to replace version 1012 with 1012? [y/N] "));
        // A completed update's last frame may still be on its way to the instrument.
        if (codes.endsWith("0801"))
            QVERIFY(instrument.finished());
        instrument.stop();
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), codes, &why), qPrintable(why));
    }

    // Ctrl-C, SIGTERM or SIGHUP runs the window's cancel: no frame after it, the unit left
    // in its bootloader (no FinishUpdate), the result written, the port's lock gone; then
    // the process ends by that signal, as a shell expects.
    void cancelBySignal_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("codes");
        QTest::newRow("SIGINT while erasing") << SIGINT << "erase"
                                              << "0001 0301*<480";
        QTest::newRow("SIGTERM while programming") << SIGTERM << "program"
                                                   << "0001 0301*480 0A02 0202*<1658";
        // The terminal closed or the SSH session dropped.
        QTest::newRow("SIGHUP while programming") << SIGHUP << "program"
                                                  << "0001 0301*480 0A02 0202*<1658";
    }
    void cancelBySignal() {
        QFETCH(int, signal);
        QFETCH(QString, phase);
        QFETCH(QString, codes);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {"--reply-delay", "1"}, records.path());
        Flash flash({"--port", "5", "--json"});
        // The phase's second progress report: its frames are on their way by then.
        const QString progress = QStringLiteral("\"phase\":\"%1\"").arg(phase);
        QVERIFY(flash.waitForLine(progress));
        QVERIFY(flash.waitForLine(progress));
        ::kill(flash.process().processId(), signal);
        QCOMPARE(flash.finish(), -1);
        QCOMPARE(flash.endedBySignal(), signal);
        const QJsonObject result = events(flash.out()).last();
        QCOMPARE(result["event"].toString(), QStringLiteral("result"));
        QCOMPARE(result["outcome"].toString(), QStringLiteral("cancelled"));
        QCOMPARE(result["status"].toInt(), 128 + signal);
        QVERIFY2(!QFile::exists(lockFileFor(instrument.device())),
                 qPrintable(lockFileFor(instrument.device())));
        QCOMPARE(result["message"].toString(), QStringLiteral("Firmware update was cancelled."));
        const int framesAtEnd = int(instrument.codes().size());
        instrument.stop();
        QCOMPARE(int(instrument.codes().size()), framesAtEnd);
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), codes, &why), qPrintable(why));
    }

    // Ctrl-C in a shell loop over several meters stops the loop, as it does with any other
    // program: the shell sees zarvo-flash end by the signal, not exit as if it had dealt
    // with it.
    void ctrlCStopsShellLoop() {
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {"--reply-delay", "1"}, records.path());
        QProcess shell;
        shell.setStandardInputFile(QProcess::nullDevice());
        // A process group of its own, which Ctrl-C on a terminal reaches as a whole.
        shell.setChildProcessModifier([] { ::setpgid(0, 0); });
        shell.start("bash", {"-c",
                             "for p in 5 5 5; do \"$0\" --port $p --yes --json; done; "
                             "echo loop-ended",
                             ZARVO_BUILD_DIR "/zarvo-flash"});
        QVERIFY(shell.waitForStarted(10000));
        QString out;
        QElapsedTimer clock;
        clock.start();
        while (out.count("\"phase\":\"erase\"") < 2 && clock.elapsed() < 30000 &&
               shell.state() == QProcess::Running) {
            shell.waitForReadyRead(100);
            out += QString::fromUtf8(shell.readAllStandardOutput());
        }
        QVERIFY2(out.count("\"phase\":\"erase\"") >= 2, qPrintable(out));
        ::kill(-pid_t(shell.processId()), SIGINT);
        QVERIFY(shell.waitForFinished(60000));
        out += QString::fromUtf8(shell.readAllStandardOutput());
        QVERIFY2(!out.contains("loop-ended"), qPrintable(out));
        QCOMPARE(out.count("\"event\":\"open\""), 1);
        QVERIFY2(out.contains("\"outcome\":\"cancelled\""), qPrintable(out));
        QVERIFY((shell.exitStatus() == QProcess::CrashExit && shell.exitCode() == SIGINT) ||
                shell.exitCode() == 130);
    }

    // The short options a user types by hand mean what their long forms do.
    void shortOptions_data() {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("longForm");
        QTest::newRow("port, baud, remote, yes")
            << QStringList{"-p", "5", "-b", "2400", "-r", "-y"}
            << QStringList{"--port", "5", "--baud", "2400", "--remote", "--yes"};
        QTest::newRow("device path, quiet, verbose")
            << QStringList{"-p", "/dev/ttyUSB0", "-q", "-v"}
            << QStringList{"--port", "/dev/ttyUSB0", "--quiet", "--verbose"};
        QTest::newRow("verbose with JSON") << QStringList{"-p", "COM7", "--json", "-v"}
                                           << QStringList{"--port", "COM7", "--json", "--verbose"};
        QTest::newRow("version") << QStringList{"-V"} << QStringList{"--version"};
    }
    void shortOptions() {
        QFETCH(QStringList, typed);
        QFETCH(QStringList, longForm);
        const cli::Parsed a = cli::parseArguments(QStringList{"zarvo-flash"} + typed);
        const cli::Parsed b = cli::parseArguments(QStringList{"zarvo-flash"} + longForm);
        QVERIFY2(a.options, qPrintable(a.error));
        QVERIFY2(b.options, qPrintable(b.error));
        const cli::Options &x = *a.options, &y = *b.options;
        QCOMPARE(int(x.command), int(y.command));
        QCOMPARE(x.port, y.port);
        QCOMPARE(x.device, y.device);
        QCOMPARE(x.baud, y.baud);
        QCOMPARE(x.remote, y.remote);
        QCOMPARE(int(x.replace), int(y.replace));
        QCOMPARE(x.json, y.json);
        QCOMPARE(x.quiet, y.quiet);
        QCOMPARE(x.verbose, y.verbose);
        QCOMPARE(x.verbose, longForm.contains("--verbose"));
    }

    // -v: the log a support request wants, on standard error, without Qt's logging rules.
    void verboseLog() {
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {}, records.path());
        Flash flash({"-p", "5", "-q", "-v"});
        QCOMPARE(flash.finish(), 0);
        QVERIFY(flash.out().isEmpty());
        for (const char *line : {"zarvo.serial: ", "zarvo.link: tx 0f 0f 00 01 ff 04",
                                 "zarvo.link: rx 0f 0f 00 01", "zarvo.update: phase"})
            QVERIFY2(flash.err().contains(line), line);
        QCOMPARE(flash.err().count("zarvo.link: tx "), 2 + 480 + 1 + 1658 + 1 + 1 + 1);
    }

    // --map refuses what is not a terminal device and leaves no link behind; --unmap
    // removes only links; --list-ports shows what each number leads to.
    void mapping_data() {
        // "pty", "file", "directory", "missing", "null", or a path below /dev
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        // "broken": the port directory is a link that leads nowhere, so it cannot be made;
        // "leftover": a directory com17.new is in the way; "nobody": run as a user who
        // cannot open the device to ask it.
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("number"); // the port number mapped
        QTest::newRow("pseudo-terminal") << "pty" << 0 << "COM17: "
                                         << "" << 17;
        QTest::newRow("pseudo-terminal as COM99") << "pty" << 0 << "COM99: "
                                                  << "" << 99;
        QTest::newRow("regular file") << "file" << 1 << "not a terminal device"
                                      << "" << 17;
        QTest::newRow("directory") << "directory" << 1 << "not a terminal device"
                                   << "" << 17;
        QTest::newRow("missing path") << "missing" << 1 << "No such file"
                                      << "" << 17;
        QTest::newRow("/dev/null") << "null" << 1 << "not a terminal device"
                                   << "" << 17;
        QTest::newRow("port directory cannot be made")
            << "pty" << 1 << "cannot make the port directory"
            << "broken" << 17;
        QTest::newRow("leftover com17.new in the way") << "pty" << 1 << "/com17.new is in the way"
                                                       << "leftover" << 17;
        QTest::newRow("/dev/ptmx") << "/dev/ptmx" << 1 << "pseudo-terminal multiplexer"
                                   << "" << 17;
        QTest::newRow("/dev/tty") << "/dev/tty" << 1 << "controlling terminal"
                                  << "" << 17;
        QTest::newRow("/dev/console") << "/dev/console" << 1 << "system console"
                                      << "" << 17;
        QTest::newRow("/dev/kmsg, not openable") << "/dev/kmsg" << 1 << "not a terminal device"
                                                 << "nobody" << 17;
        QTest::newRow("/dev/vcs, not openable") << "/dev/vcs" << 1 << "not a terminal device"
                                                << "nobody" << 17;
        QTest::newRow("link in a directory others may write to")
            << "tmplink" << 1 << "leads through /tmp, which other users may write to" << "" << 17;
        // "@" stands for what the number led to before.
        QTest::newRow("over a number mapped to a device")
            << "pty" << 0 << "(it led to @ before)" << "mapped" << 17;
        QTest::newRow("over a number mapped to a remote port")
            << "pty" << 0 << "(it led to @ before)" << "remote" << 17;
        QTest::newRow("over the virtual instrument's link")
            << "pty" << 0 << "(it led to @ before)" << "sim" << 17;
        QTest::newRow("COM5's entry, which leads to a remote port")
            << "remote entry" << 0 << "COM17: "
            << "" << 17;
    }
    void mapping() {
        QFETCH(QString, device);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(QString, situation);
        QFETCH(int, number);
        const QString n = QString::number(number);
        if (device.startsWith("/dev/") && !QFileInfo(device).exists())
            QSKIP("no such device here");
        PortSandbox sandbox;
        if (situation == "broken") {
            QVERIFY(QDir(sandbox.portDirectory()).removeRecursively());
            QVERIFY(QFile::link(sandbox.portDirectory() + ".gone", sandbox.portDirectory()));
        }
        const QString leftover = sandbox.portDirectory() + "/com17.new";
        if (situation == "leftover")
            QVERIFY(QDir().mkpath(leftover + "/inside"));
        QStringList runAs;
        if (situation == "nobody") {
            runAs = asNobody();
            if (runAs.isEmpty())
                QSKIP("needs root, a user nobody and setpriv");
            // The user's own port directory, so that only the device decides.
            const QString base = QFileInfo(QFileInfo(sandbox.portDirectory()).path()).path();
            QCOMPARE(QProcess::execute("chown", {"-R", "nobody:", base}), 0);
        }
        PtyPair pty, earlier;
        QTemporaryDir scratch;
        QFile file(scratch.path() + "/file");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QTemporaryDir shared("/tmp/zarvo-map-XXXXXX"); // /tmp itself: others may write to it
        QVERIFY(QFile::link(pty.slavePath(), shared.path() + "/tty"));
        const QMap<QString, QString> paths{{"pty", pty.slavePath()},
                                           {"file", file.fileName()},
                                           {"directory", scratch.path()},
                                           {"missing", scratch.path() + "/none"},
                                           {"null", "/dev/null"},
                                           {"tmplink", shared.path() + "/tty"},
                                           {"remote entry", sandbox.portDirectory() + "/com5"}};
        // What COM5 leads to, for the row that maps its entry: the address, not the entry.
        const bool remoteEntry = device == "remote entry";
        const QString remote = QStringLiteral("rfc2217://127.0.0.1:1");
        if (remoteEntry)
            QVERIFY(sandbox.link(5, remote));
        const QString reached = remoteEntry ? remote : pty.slavePath();
        const QString entry = sandbox.portDirectory() + "/com" + n;
        QTemporaryDir records;
        std::unique_ptr<Instrument> sim;
        QString before;
        if (situation == "mapped" || situation == "remote") {
            before = situation == "mapped" ? earlier.slavePath() : "rfc2217://127.0.0.1:1";
            Flash first({"--map", n, before});
            QCOMPARE(first.finish(), 0);
        } else if (situation == "sim") {
            sim = std::make_unique<Instrument>(number, QStringList{}, records.path());
            before = sim->device();
            QCOMPARE(QFileInfo(entry).symLinkTarget(), before);
        }
        says.replace("@", before);
        Flash map({"--map", n, paths.value(device, device)}, {}, runAs);
        QCOMPARE(map.finish(), status);
        QVERIFY2((status == 0 ? map.out() : map.err()).contains(says),
                 qPrintable(map.out() + map.err()));
        QCOMPARE(map.out().contains("before"), !before.isEmpty());
        // A refusal gives the reason the operating system gave, never the "Success" of a
        // later clean-up step.
        QVERIFY2(!map.err().contains("Success"), qPrintable(map.err()));
        QCOMPARE(QFileInfo(entry).isSymLink(), status == 0);
        QCOMPARE(QFileInfo::exists(leftover), situation == "leftover");

        Flash list({"--list-ports", "--json"});
        QCOMPARE(list.finish(), 0);
        const QJsonObject data = QJsonDocument::fromJson(list.out().toUtf8()).object();
        QJsonObject row;
        for (const QJsonValue &port : data["ports"].toArray())
            if (port["port"].toInt() == number)
                row = port.toObject();
        QCOMPARE(row.isEmpty(), status != 0); // a higher number is listed once mapped
        if (status == 0) {
            QCOMPARE(row["target"].toString(), reached);
            QCOMPARE(row["present"].toBool(), !remoteEntry);
            Flash text({"--list-ports"});
            QCOMPARE(text.finish(), 0);
            QVERIFY2(text.out().contains(QRegularExpression(
                         "COM" + n + " +" + QRegularExpression::escape(entry + " -> " + reached) +
                         (remoteEntry ? " +remote" : " +present"))),
                     qPrintable(text.out()));
        }

        // Unmapping a number that is not mapped has nothing to do, which is no failure.
        Flash unmap({"--unmap", n});
        QCOMPARE(unmap.finish(), 0);
        QVERIFY(!QFileInfo(entry).isSymLink());
        QVERIFY2(unmap.out().contains(status == 0 ? "removed" : "COM" + n + " is not mapped"),
                 qPrintable(unmap.out() + unmap.err()));
        Flash again({"--unmap", n, "--json"});
        QCOMPARE(again.finish(), 0);
        const QJsonObject unmapped = QJsonDocument::fromJson(again.out().toUtf8()).object();
        QVERIFY2(unmapped["removed"].isNull(), qPrintable(again.out()));
        QCOMPARE(unmapped["port"].toInt(), number);
    }

    // A COM number that leads to a remote serial port: the link's text is the address,
    // --list-ports shows it, --probe says whether it answers, --unmap removes it.
    void mappingRemote() {
        PortSandbox sandbox;
        TelnetServer server(TelnetScript{});
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const QString nobody = QStringLiteral("rfc2217://127.0.0.1:%1").arg(closed.serverPort());
        closed.close();

        Flash map({"--map", "17", server.address()});
        QCOMPARE(map.finish(), 0);
        const QString entry = sandbox.portDirectory() + "/com17";
        QCOMPARE(QString::fromStdString(std::filesystem::read_symlink(entry.toStdString())),
                 server.address());
        Flash mapNobody({"--map", "18", nobody});
        QCOMPARE(mapNobody.finish(), 0);
        QCOMPARE(server.connections(), 0); // mapping connects to nothing

        Flash list({"--list-ports", "--json"});
        QCOMPARE(list.finish(), 0);
        QCOMPARE(server.connections(), 0);
        Flash probe({"--list-ports", "--probe", "--json"});
        QCOMPARE(probe.finish(), 0);
        QCOMPARE(server.connections(), 1);
        for (Flash *run : {&list, &probe}) {
            QMap<int, QJsonObject> rows;
            for (const QJsonValue &port :
                 QJsonDocument::fromJson(run->out().toUtf8()).object()["ports"].toArray())
                rows[port["port"].toInt()] = port.toObject();
            QCOMPARE(rows[17]["address"].toString(), server.address());
            QCOMPARE(rows[18]["address"].toString(), nobody);
            QVERIFY(!rows[17].contains("present"));
            const bool probed = run == &probe;
            QCOMPARE(rows[17].contains("answers"), probed);
            if (probed) {
                QCOMPARE(rows[17]["answers"].toBool(), true);
                QCOMPARE(rows[18]["answers"].toBool(), false);
                QVERIFY2(rows[18]["reason"].toString().startsWith(nobody + ": "),
                         qPrintable(rows[18]["reason"].toString()));
            }
        }
        Flash text({"--list-ports", "--probe"});
        QCOMPARE(text.finish(), 0);
        QVERIFY2(text.out().contains(QRegularExpression(
                     "COM17 +" + QRegularExpression::escape(entry + " -> " + server.address()) +
                     " +answers\n")),
                 qPrintable(text.out()));
        QVERIFY2(text.out().contains(QRegularExpression(
                     "COM18 +.* -> " + QRegularExpression::escape(nobody) + " +does not answer: ")),
                 qPrintable(text.out()));

        Flash unmap({"--unmap", "17"});
        QCOMPARE(unmap.finish(), 0);
        QVERIFY(!QFileInfo(entry).isSymLink());
    }

    // A device with a stable name is mapped by that name; a name already stable is kept.
    void stableName() {
        PtyPair pty, other;
        QTemporaryDir byId;
        QVERIFY(QFile::link(other.slavePath(), byId.path() + "/usb-Other-if00"));
        QVERIFY(QFile::link(pty.slavePath(), byId.path() + "/usb-FTDI_A1B2C3-if00"));
        QCOMPARE(serial::stableName(pty.slavePath(), byId.path()),
                 byId.path() + "/usb-FTDI_A1B2C3-if00");
        QCOMPARE(serial::stableName(byId.path() + "/usb-Other-if00", byId.path()),
                 byId.path() + "/usb-Other-if00");
        QCOMPARE(serial::stableName("/dev/null", byId.path()), QString());
    }

    // Bytes that are not UTF-8 cannot pass through Qt's text unchanged: such a path is
    // refused for what it is, not looked for under another name and called missing.
    void argumentNotUtf8() {
        PortSandbox sandbox;
        QProcess flash;
        flash.setStandardInputFile(QProcess::nullDevice());
        flash.start("/bin/bash", {"-c", R"sh(exec "$0" --port "$(printf '/dev/tty\377')")sh",
                                  ZARVO_BUILD_DIR "/zarvo-flash"});
        QVERIFY(flash.waitForFinished(10000));
        const QString err = QString::fromUtf8(flash.readAllStandardError());
        QCOMPARE(flash.exitCode(), cli::kStatusUsage);
        QVERIFY2(err.contains("not valid UTF-8") && err.count('\n') == 1, qPrintable(err));
    }

    // What the port directory holds besides honest links: a number no port can have, a
    // directory, a link whose target would break the listing's lines.
    void listingOddEntries() {
        PortSandbox sandbox;
        const QString dir = sandbox.portDirectory();
        QVERIFY(QFile::link("/dev/null", dir + "/com99999999999"));
        QVERIFY(QDir().mkpath(dir + "/com100"));
        QVERIFY(QFile::link("/nowhere\n  COM6   /dev/ttyS5  present", dir + "/com5"));

        Flash text({"--list-ports"});
        QCOMPARE(text.finish(), 0);
        const QStringList lines = text.out().split('\n', Qt::SkipEmptyParts);
        QStringList comLines;
        for (const QString &line : lines)
            if (line.startsWith("  COM"))
                comLines << line;
        QCOMPARE(comLines.size(), 17); // COM1 to COM16 and COM100
        QVERIFY2(!text.out().contains("COM0 "), qPrintable(text.out()));
        QVERIFY2(comLines.filter(QRegularExpression("^  COM5 .*COM6.*missing$")).size() == 1,
                 qPrintable(text.out()));
        QVERIFY2(comLines.last().startsWith("  COM100") && comLines.last().endsWith("not a device"),
                 qPrintable(comLines.last()));
        // Each column starts where it starts on every other line, whatever the numbers.
        QSet<qsizetype> stateColumns;
        for (const QString &line : comLines)
            for (const QString state : {"missing", "present", "not a device"})
                if (line.endsWith(state))
                    stateColumns << line.size() - state.size();
        QVERIFY2(stateColumns.size() == 1, qPrintable(text.out()));

        Flash json({"--list-ports", "--json"});
        QCOMPARE(json.finish(), 0);
        const QJsonArray ports =
            QJsonDocument::fromJson(json.out().toUtf8()).object()["ports"].toArray();
        QCOMPARE(ports.size(), 17);
        for (const QJsonValue &port : ports) {
            QVERIFY(port["port"].toInt() >= 1);
            if (port["port"].toInt() == 100)
                QCOMPARE(port["present"].toBool(), false);
            if (port["port"].toInt() == 5)
                QCOMPARE(port["target"].toString(), "/nowhere\n  COM6   /dev/ttyS5  present");
        }
    }

    // Another user who may write to a directory on the way to COM5's device leads it to
    // his own instrument: the update is refused, saying what to mend, and no frame reaches
    // his instrument.
    void portDirectoryOthersMayChange_data() {
        // "ports": the port directory is writable by all and he has planted his link there;
        // "base": the configuration directory itself is writable by all; "tmp": COM5 leads
        // to a name directly in /tmp, where he has put a link to his instrument.
        QTest::addColumn<QString>("open");
        QTest::addColumn<QString>("named"); // "@" stands for the configuration directory
        QTest::addColumn<QString>("fix");
        QTest::newRow("port directory writable by all") << "ports"
                                                        << "@/zarvo-update/ports may be changed by other users"
                                                        << "chmod go-w @/zarvo-update/ports";
        QTest::newRow("configuration directory writable by all")
            << "base" << "@ may be changed by other users (mode 0777)" << "chmod go-w @";
        QTest::newRow("link to a name in /tmp")
            << "tmp" << "leads through /tmp, which other users may write to (mode 1777)"
            << "zarvo-flash --map 5 DEVICE";
    }
    void portDirectoryOthersMayChange() {
        QFETCH(QString, open);
        QFETCH(QString, named);
        QFETCH(QString, fix);
        const QStringList runAs = asNobody();
        if (runAs.isEmpty())
            QSKIP("needs root, a user nobody and setpriv");
        PortSandbox sandbox;
        const QString ports = sandbox.portDirectory();
        const QString top = QFileInfo(ports).path();
        const QString base = QFileInfo(top).path();
        for (const QString &dir : {base, top})
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ExeGroup |
                                                   QFile::ExeOther));
        QTemporaryDir records;
        Instrument ours(kPort, {}, records.path());
        QTemporaryDir theirRecords;
        Instrument theirs(0, {}, theirRecords.path());
        QVERIFY(!ours.device().isEmpty() && !theirs.device().isEmpty());
        const QString planted = "/tmp/" + QFileInfo(records.path()).fileName() + "-tty";
        if (open == "ports") {
            QVERIFY(::chmod(QFile::encodeName(ports).constData(), 0777) == 0);
            QVERIFY(QFile::remove(ports + "/com5"));
            QCOMPARE(QProcess::execute(runAs.first(),
                                       runAs.mid(1) + QStringList{"ln", "-s", theirs.device(),
                                                                  ports + "/com5"}),
                     0);
        } else if (open == "base") {
            QVERIFY(::chmod(QFile::encodeName(base).constData(), 0777) == 0);
        } else {
            // The user's own link there is gone (a socat that ended); his stands in its place.
            QCOMPARE(QProcess::execute(runAs.first(), runAs.mid(1) + QStringList{"ln", "-s",
                                                                                 theirs.device(),
                                                                                 planted}),
                     0);
            QVERIFY(sandbox.link(kPort, planted));
        }
        Flash flash({"--port", "5", "--yes"});
        QCOMPARE(flash.finish(), 7);
        QFile::remove(planted);
        named.replace("@", base);
        fix.replace("@", base);
        QVERIFY2(flash.err().contains(named) && flash.err().contains(fix), qPrintable(flash.err()));
        ours.stop();
        theirs.stop();
        QVERIFY(theirs.codes().isEmpty());
        QVERIFY(ours.codes().isEmpty());
    }

    // The port directory is private to its user whatever the umask, made by --map and by
    // the virtual instrument alike.
    void portDirectoryPrivate_data() {
        QTest::addColumn<bool>("bySim");
        QTest::newRow("--map") << false;
        QTest::newRow("zarvo-sim --com") << true;
    }
    void portDirectoryPrivate() {
        QFETCH(bool, bySim);
        PortSandbox sandbox;
        const QString top = QFileInfo(sandbox.portDirectory()).path();
        QVERIFY(QDir(top).removeRecursively());
        PtyPair pty;
        QTemporaryDir records;
        const mode_t old = ::umask(0);
        std::unique_ptr<Instrument> instrument;
        std::unique_ptr<Flash> map;
        if (bySim)
            instrument = std::make_unique<Instrument>(kPort, QStringList{}, records.path());
        else
            map = std::make_unique<Flash>(QStringList{"--map", "5", pty.slavePath()});
        ::umask(old);
        if (map)
            QCOMPARE(map->finish(), 0);
        else
            QVERIFY(!instrument->device().isEmpty());
        QVERIFY(QFileInfo(sandbox.portDirectory() + "/com5").isSymLink());
        for (const QString &path : {top, sandbox.portDirectory()})
            QCOMPARE(QFileInfo(path).permissions() &
                         ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadOwner |
                           QFile::WriteOwner | QFile::ExeOwner),
                     QFile::Permissions());
    }

    // --help and the manual page name every option and every exit status.
    void documented() {
        Flash help({"--help"});
        QCOMPARE(help.finish(), 0);
        QFile page(ZARVO_SOURCE_DIR "/packaging/zarvo-flash.1.in");
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString manual = QString::fromUtf8(page.readAll()).remove('\\');
        for (const char *option :
             {"--port",     "--baud",        "--remote",   "--yes",        "--keep-newer",
              "--json",     "--quiet",       "--verbose",  "--list-ports", "--probe",
              "--map",      "--unmap",       "--help",     "--version",    "-p, --port",
              "-b, --baud", "-r, --remote",  "-y, --yes",  "-q, --quiet",  "-v, --verbose",
              "-h, --help", "-V, --version", "rfc2217://", "tcp://"}) {
            QVERIFY2(help.out().contains(option), option);
            QVERIFY2(manual.contains(option), option);
        }
        // The statuses as documented, not as the code's table has them; a cancel ends by
        // its signal, which a shell reports as 128 and the signal's number.
        const QList<int> statuses{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 130, 143, 129};
        // The manual's section of exit statuses, one ".B N" item each.
        const QString exitSection = manual.section(".SH EXIT STATUS", 1).section(".SH", 0, 0);
        for (int status : statuses) {
            QVERIFY2(
                help.out().contains(QRegularExpression(QStringLiteral("\n +%1  ").arg(status))),
                qPrintable(QString::number(status)));
            QVERIFY2(exitSection.contains(QStringLiteral(".TP\n.B %1\n").arg(status)),
                     qPrintable(QString::number(status)));
        }
        // No reply comes with what to check, in both.
        const QString helpNoReply = help.out()
                                        .section(QRegularExpression("\n +9  "), 1)
                                        .section(QRegularExpression("\n +10  "), 0, 0);
        const QString manualNoReply = exitSection.section(".B 9\n", 1).section(".TP", 0, 0);
        for (const QString &text : {helpNoReply, manualNoReply})
            for (const char *check : {"\"BOOTLOADER READY...\"", "--remote", "baud rate"})
                QVERIFY2(text.contains(check), qPrintable(text));

        // The README's list as well, each status with its meaning.
        QFile readme(ZARVO_SOURCE_DIR "/README.md");
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString readmeList = QString::fromUtf8(readme.readAll())
                                       .simplified()
                                       .section("The exit status says how the update ended:", 1)
                                       .section("(`zarvo-flash --help`", 0, 0);
        for (int status = 0; status <= 12; ++status)
            QVERIFY2(
                readmeList.contains(QRegularExpression(QStringLiteral("\\b%1 [a-z]").arg(status))),
                qPrintable(QString::number(status) + " not in: " + readmeList));

        // The window's manual links a port with zarvo-flash, and points to its page.
        QFile windowPage(ZARVO_SOURCE_DIR "/packaging/zarvo-update.1.in");
        QVERIFY(windowPage.open(QIODevice::ReadOnly));
        const QString windowManual = QString::fromUtf8(windowPage.readAll()).remove('\\');
        QVERIFY(windowManual.contains("zarvo-flash --map 5 /dev/ttyUSB0"));
        QVERIFY(!windowManual.contains("ln -sf"));
        QVERIFY(windowManual.section(".SH SEE ALSO", 1).contains(".BR zarvo-flash (1)"));
        // What a status usually means in practice: a meter left running its firmware (the
        // usual mistake) does not answer, which ends as a communication error, not as 8.
        const auto item = [](const QString &text, int status, const QString &next) {
            return text.section(QRegularExpression(QStringLiteral("\n +%1  ").arg(status)), 1)
                .section(QRegularExpression(next), 0, 0);
        };
        const QString help9 = item(help.out(), 9, "\n +10  ");
        const QString manual9 = exitSection.section(".B 9\n", 1).section(".TP", 0, 0).simplified();
        for (const QString &text : {help9, manual9})
            QVERIFY2(text.contains("not in") && text.contains("bootloader mode"), qPrintable(text));
        const QString help8 = item(help.out(), 8, "\n +9  ");
        QVERIFY2(help8.contains("another") && help8.contains("device"), qPrintable(help8));
    }
};

QTEST_MAIN(TestFlash)
#include "test_flash.moc"
