// zarvo-flash against the virtual instrument: its exit statuses and texts, its events, the
// same frames as the window's update, several at once, the cancel by signal, and the
// port directory's links. Judged by the instrument's transcript and the exit status.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <filesystem>
#include <memory>

#include "dialogs.h"
#include "frmmain.h"
#include "instrument.h"
#include "linkrig.h"
#include "options.h"
#include "ports.h"
#include "pty.h"
#include "runtime.h"
#include "status.h"
#include "telnetserver.h"

namespace {

constexpr int kPort = 5;

int statusOf(Outcome outcome) {
    return cli::statusOf(outcome).status;
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
        QCOMPARE(flash.finish(), cli::kStatusUsage);
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
        QTest::addColumn<QString>("port"); // "missing", "held", "opened", "file", "device" or ""
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("says"); // on standard error, in order
        QTest::addColumn<QString>("codes");
        const QString commError = "Error communicating with Port.";
        const QString question = "Would you like to replace version 1012 with 1012?";
        const QStringList same{"--version", "1012"};
        QTest::newRow("complete") << QStringList{} << QStringList{} << "" << 0 << QStringList{}
                                  << kCompleteUpdate;
        QTest::newRow("remote, 2400") << QStringList{"--mode", "application", "--baud", "2400"}
                                      << QStringList{"--remote", "--baud", "2400"} << "" << 0
                                      << QStringList{} << "0000 " + kCompleteUpdate;
        QTest::newRow("by device path")
            << QStringList{} << QStringList{} << "device" << 0 << QStringList{} << kCompleteUpdate;
        QTest::newRow("newer kept: no terminal to ask")
            << same << QStringList{} << "" << statusOf(Outcome::Declined)
            << QStringList{question, "not a terminal"} << "0001";
        QTest::newRow("newer kept: --keep-newer")
            << same << QStringList{"--keep-newer"} << "" << statusOf(Outcome::Declined)
            << QStringList{} << "0001";
        QTest::newRow("newer replaced: --yes")
            << same << QStringList{"--yes"} << "" << 0 << QStringList{} << kCompleteUpdate;
        QTest::newRow("foreign device")
            << QStringList{"--id", "0417"} << QStringList{} << ""
            << statusOf(Outcome::ForeignDevice)
            << QStringList{"Attached device is not the ZARVO-415B.", "identification 0417"}
            << "0001";
        QTest::newRow("blank check fails")
            << QStringList{"--fail-blank-check"} << QStringList{} << ""
            << statusOf(Outcome::BlankCheckFailed)
            << QStringList{"Blank Check Error", "result bytes 00-40-00-01"} << "0001 0301*480 0A02";
        QTest::newRow("verify fails") << QStringList{"--fail-verify"} << QStringList{} << ""
                                      << statusOf(Outcome::VerifyFailed)
                                      << QStringList{"Verify Checksum Error", "result bytes"}
                                      << "0001 0301*480 0A02 0202*1658 0A01";
        QTest::newRow("no reply mid-programming")
            << QStringList{"--drop-reply", "1182"} << QStringList{} << ""
            << statusOf(Outcome::CommError) << QStringList{commError, "no reply to command 0202"}
            << "0001 0301*480 0A02 0202*700";
        QTest::newRow("line hung up mid-erase")
            << QStringList{"--hang-up", "300"} << QStringList{} << ""
            << statusOf(Outcome::CommError) << QStringList{commError} << "0001 0301*299";
        QTest::newRow("instrument running its firmware")
            << QStringList{"--mode", "application"} << QStringList{} << ""
            << statusOf(Outcome::CommError) << QStringList{commError, "no reply to command 0001"}
            << "";
        QTest::newRow("not in bootloader mode")
            << QStringList{"--garble-reply", "1"} << QStringList{} << ""
            << statusOf(Outcome::NotBootloader)
            << QStringList{"Make sure device is in bootloader mode.", "reply "} << "0001";
        QTest::newRow("port missing")
            << QStringList{} << QStringList{} << "missing" << statusOf(Outcome::PortMissing)
            << QStringList{"Selected Com Port is not available.", "/dev/zarvo-no-such-device"}
            << "";
        QTest::newRow("port in use")
            << QStringList{} << QStringList{} << "held" << statusOf(Outcome::PortInUse)
            << QStringList{"Selected COM Port is already in use by another application.",
                           "is in use by"}
            << "";
        QTest::newRow("port open in another program without a lock file")
            << QStringList{} << QStringList{} << "opened" << statusOf(Outcome::PortInUse)
            << QStringList{"Selected COM Port is already in use by another application.",
                           "It is held by zarvo-portholder"}
            << "";
        QTest::newRow("not a serial device")
            << QStringList{} << QStringList{} << "file" << statusOf(Outcome::PortUnusable)
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
        Instrument instrument(kPort, sim, records.path());
        QVERIFY(!instrument.device().isEmpty());
        std::unique_ptr<UnusablePort> unusable;
        if (port == "missing" || port == "file" || port == "held" || port == "opened") {
            if (port != "held" && port != "opened")
                QFile::remove(sandbox.portDirectory() + "/com5");
            unusable = std::make_unique<UnusablePort>(sandbox, kPort, port, instrument.device());
            QVERIFY(unusable->ready());
        }
        const QStringList target = port == "device" ? QStringList{"--port", instrument.device()}
                                                    : QStringList{"--port", "5"};
        Flash flash(target + args);
        QCOMPARE(flash.finish(), status);
        qsizetype at = 0;
        for (const QString &text : says) {
            at = flash.err().indexOf(text, at);
            QVERIFY2(at >= 0, qPrintable(text + " not in:\n" + flash.err()));
        }
        if (status == 0) {
            QVERIFY(flash.err().isEmpty());
            QVERIFY(flash.out().contains("the instrument reports 1012.01"));
            QVERIFY(instrument.finished());
        } else if (status != statusOf(Outcome::Declined)) {
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
        QTest::newRow("complete") << QStringList{}
                                  << QStringList{"open",  "identified", "phase", "progress",
                                                 "phase", "progress",   "phase", "result"}
                                  << QStringList{"erase",  "blank-check",    "program",
                                                 "verify", "reset-defaults", "finish"}
                                  << "done"
                                  << "";
        QTest::newRow("blank check fails")
            << QStringList{"--fail-blank-check"}
            << QStringList{"open", "identified", "phase", "progress", "phase", "result"}
            << QStringList{"erase", "blank-check"} << "blank-check-failed"
            << "result bytes 00-40-00-01";
    }
    void jsonEvents() {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, names);
        QFETCH(QStringList, phases);
        QFETCH(QString, outcome);
        QFETCH(QString, detail);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, sim, records.path());
        Flash flash({"--port", "COM5", "--json"});
        QCOMPARE(flash.finish(), outcome == "done" ? 0 : statusOf(Outcome::BlankCheckFailed));
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
        QCOMPARE(list[1]["device"].toString(), QStringLiteral("0415"));
        QCOMPARE(list[1]["installed"].toString(), QStringLiteral("1003.01"));
        QCOMPARE(list[1]["new"].toString(), QStringLiteral("1012"));
        const QJsonObject result = list.last();
        QCOMPARE(result["outcome"].toString(), outcome);
        QCOMPARE(result["detail"].toString(), detail);
        // Progress is rationed: a few a second, and each phase's 100% once.
        int progress = 0;
        for (const QJsonObject &e : list)
            progress += e["event"] == "progress";
        QVERIFY2(progress <= 4 * result["elapsed"].toDouble() + 6, qPrintable(flash.out()));
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
        QTest::newRow("Enter") << QByteArray("\n") << statusOf(Outcome::Declined) << "0001";
        QTest::newRow("n") << QByteArray("n\n") << statusOf(Outcome::Declined) << "0001";
        QTest::newRow("Ctrl-C") << QByteArray() << statusOf(Outcome::Cancelled) << "0001";
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
        QCOMPARE(second.finish(), statusOf(Outcome::PortInUse));
        QVERIFY(second.err().contains("already in use"));

        if (typed.isEmpty())
            ::kill(flash.process().processId(), SIGINT);
        else
            terminal.write(typed);
        QCOMPARE(flash.finish(), status);
        QVERIFY(flash.err().startsWith("Would you like to replace version 1012 with 1012? [y/N] "));
        // A completed update's last frame may still be on its way to the instrument.
        if (codes.endsWith("0801"))
            QVERIFY(instrument.finished());
        instrument.stop();
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), codes, &why), qPrintable(why));
    }

    // Ctrl-C or SIGTERM runs the window's cancel: no frame after it, the unit left in its
    // bootloader (no FinishUpdate), the status of a cancel.
    void cancelBySignal_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("codes");
        QTest::newRow("SIGINT while erasing") << SIGINT << "erase"
                                              << "0001 0301*<480";
        QTest::newRow("SIGTERM while programming") << SIGTERM << "program"
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
        QCOMPARE(flash.finish(), statusOf(Outcome::Cancelled));
        const QJsonObject result = events(flash.out()).last();
        QCOMPARE(result["outcome"].toString(), QStringLiteral("cancelled"));
        QCOMPARE(result["message"].toString(), QStringLiteral("Firmware update was cancelled."));
        const int framesAtEnd = int(instrument.codes().size());
        instrument.stop();
        QCOMPARE(int(instrument.codes().size()), framesAtEnd);
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), codes, &why), qPrintable(why));
    }

    // --map refuses what is not a terminal device and leaves no link behind; --unmap
    // removes only links; --list-ports shows what each number leads to.
    void mapping_data() {
        QTest::addColumn<QString>("device"); // "pty", "file", "directory", "missing", "null"
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        // The port directory is a link that leads nowhere, so it cannot be made.
        QTest::addColumn<bool>("brokenDirectory");
        QTest::newRow("pseudo-terminal") << "pty" << 0 << "COM17: " << false;
        QTest::newRow("regular file")
            << "file" << cli::kStatusError << "not a terminal device" << false;
        QTest::newRow("directory")
            << "directory" << cli::kStatusError << "not a terminal device" << false;
        QTest::newRow("missing path") << "missing" << cli::kStatusError << "No such file" << false;
        QTest::newRow("/dev/null")
            << "null" << cli::kStatusError << "not a terminal device" << false;
        QTest::newRow("port directory cannot be made")
            << "pty" << cli::kStatusError << "cannot make the port directory" << true;
    }
    void mapping() {
        QFETCH(QString, device);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(bool, brokenDirectory);
        PortSandbox sandbox;
        if (brokenDirectory) {
            QVERIFY(QDir(sandbox.portDirectory()).removeRecursively());
            QVERIFY(QFile::link(sandbox.portDirectory() + ".gone", sandbox.portDirectory()));
        }
        PtyPair pty;
        QTemporaryDir scratch;
        QFile file(scratch.path() + "/file");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QMap<QString, QString> paths{{"pty", pty.slavePath()},
                                           {"file", file.fileName()},
                                           {"directory", scratch.path()},
                                           {"missing", scratch.path() + "/none"},
                                           {"null", "/dev/null"}};
        const QString entry = sandbox.portDirectory() + "/com17";
        Flash map({"--map", "17", paths[device]});
        QCOMPARE(map.finish(), status);
        QVERIFY2((status == 0 ? map.out() : map.err()).contains(says),
                 qPrintable(map.out() + map.err()));
        // A refusal gives the reason the operating system gave, never the "Success" of a
        // later clean-up step.
        QVERIFY2(!map.err().contains("Success"), qPrintable(map.err()));
        QCOMPARE(QFileInfo(entry).isSymLink(), status == 0);
        QVERIFY(!QFileInfo::exists(entry + ".new"));

        Flash list({"--list-ports", "--json"});
        QCOMPARE(list.finish(), 0);
        const QJsonObject data = QJsonDocument::fromJson(list.out().toUtf8()).object();
        QJsonObject row17;
        for (const QJsonValue &port : data["ports"].toArray())
            if (port["port"].toInt() == 17)
                row17 = port.toObject();
        QCOMPARE(row17.isEmpty(), status != 0); // a higher number is listed once mapped
        if (status == 0) {
            QCOMPARE(row17["target"].toString(), pty.slavePath());
            QCOMPARE(row17["present"].toBool(), true);
            Flash text({"--list-ports"});
            QCOMPARE(text.finish(), 0);
            QVERIFY2(text.out().contains(QRegularExpression(
                         "COM17 +" + QRegularExpression::escape(entry + " -> " + pty.slavePath()) +
                         " +present")),
                     qPrintable(text.out()));
        }

        Flash unmap({"--unmap", "17"});
        QCOMPARE(unmap.finish(), status == 0 ? 0 : cli::kStatusError);
        QVERIFY(!QFileInfo(entry).isSymLink());
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
        QCOMPARE(cli::stableName(pty.slavePath(), byId.path()),
                 byId.path() + "/usb-FTDI_A1B2C3-if00");
        QCOMPARE(cli::stableName(byId.path() + "/usb-Other-if00", byId.path()),
                 byId.path() + "/usb-Other-if00");
        QCOMPARE(cli::stableName("/dev/null", byId.path()), QString());
    }

    // --help and the manual page name every option and every exit status.
    void documented() {
        Flash help({"--help"});
        QCOMPARE(help.finish(), 0);
        QFile page(ZARVO_SOURCE_DIR "/packaging/zarvo-flash.1.in");
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString manual = QString::fromUtf8(page.readAll()).remove('\\');
        for (const char *option : {"--port", "--baud", "--remote", "--yes", "--keep-newer",
                                   "--json", "--quiet", "--list-ports", "--probe", "--map",
                                   "--unmap", "--help", "--version", "rfc2217://", "tcp://"}) {
            QVERIFY2(help.out().contains(option), option);
            QVERIFY2(manual.contains(option), option);
        }
        QList<int> statuses{cli::kStatusError, cli::kStatusUsage};
        for (const cli::StatusRow &row : cli::kStatusTable)
            statuses << row.status;
        // The manual's section of exit statuses, one ".B N" item each.
        const QString exitSection = manual.section(".SH EXIT STATUS", 1).section(".SH", 0, 0);
        for (int status : statuses) {
            QVERIFY2(
                help.out().contains(QRegularExpression(QStringLiteral("\n +%1  ").arg(status))),
                qPrintable(QString::number(status)));
            QVERIFY2(exitSection.contains(QStringLiteral(".TP\n.B %1\n").arg(status)),
                     qPrintable(QString::number(status)));
        }
    }
};

QTEST_MAIN(TestFlash)
#include "test_flash.moc"
