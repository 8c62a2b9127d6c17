// The fleet playbook run locally by ansible-playbook against two virtual instruments: one
// report of both results, its columns in line, written where the user stands, and the play
// failed for a host whose update failed.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "instrument.h"
#include "pty.h"

namespace {

// A full host name, longer than any column width a fixed layout would guess.
const QString kHost = QStringLiteral("zarvo-bench-north-with-a-long-name.example.net");

// Each line's columns start where the header's do: blank before, text at the start (the
// status column is aligned right, so its last character is checked instead).
QString misaligned(const QStringList &lines) {
    const QString &header = lines.first();
    for (const QString &line : lines) {
        for (const char *name : {"port", "outcome", "before", "after", "message"}) {
            const qsizetype at = header.indexOf(QLatin1String(name));
            if (qstrcmp(name, "message") == 0 && line.size() <= at)
                continue;
            if (line.size() <= at || line[at - 1] != ' ' || line[at] == ' ')
                return QStringLiteral("%1 at %2: %3").arg(name).arg(at).arg(line);
        }
        const qsizetype statusEnd = header.indexOf(QLatin1String("status")) + 5;
        if (line.size() <= statusEnd || line[statusEnd] == ' ' || line[statusEnd + 1] != ' ')
            return QStringLiteral("status ending at %1: %2").arg(statusEnd).arg(line);
    }
    return {};
}

} // namespace

class TestFleet : public QObject {
    Q_OBJECT

private slots:
    void playbook_data() {
        QTest::addColumn<QString>("ports");      // the host's zarvo_ports
        QTest::addColumn<QStringList>("second"); // the second instrument's faults
        QTest::addColumn<int>("status");         // ansible-playbook's
        QTest::addColumn<QStringList>("report"); // per port: outcome, status, after
        QTest::addColumn<QString>("failure");    // what the play says of a failed host
        QTest::addColumn<QString>("program");    // zarvo_flash, empty: the one built
        QTest::addColumn<bool>("relative");      // zarvo_report relative to where the user is
        QTest::newRow("both updated, report path relative")
            << "[5, 6]" << QStringList{} << 0
            << QStringList{"5 +done +0  1003.01 +1012.01", "6 +done +0  1003.01 +1012.01"} << ""
            << "" << true;
        // An update that lasts (every reply 3 ms late: at least 6 s) is waited for, not
        // reported as a string of failed retries.
        QTest::newRow("a slow update")
            << "[5, 6]" << QStringList{"--reply-delay", "3"} << 0
            << QStringList{"5 +done +0  1003.01 +1012.01", "6 +done +0  1003.01 +1012.01"} << ""
            << "" << false;
        QTest::newRow("one fails verify")
            << "[5, 6]" << QStringList{"--fail-verify"} << 2
            << QStringList{"5 +done +0  1003.01 +1012.01",
                           "6 +verify-failed +12  1003.01 +- +Verify Checksum Error; result "
                           "bytes"}
            << "port 6: verify-failed (exit status 12)"
            << "" << false;
        QTest::newRow("one newer, kept")
            << "[5, 6]" << QStringList{"--version", "1013"} << 0
            << QStringList{"5 +done +0", "6 +declined +3  1013.01"} << ""
            << "" << false;
        // A host whose list is empty is a mistake in the inventory: it fails, and says so,
        // rather than passing with nothing done.
        QTest::newRow("no ports listed")
            << "[]" << QStringList{} << 2
            << QStringList{"- +no-ports +-1 .*zarvo_ports lists no port for this host"}
            << "port -: no-ports (exit status -1)"
            << "" << false;
        // A host without the package: said so, not mistaken for a bad command line.
        QTest::newRow("zarvo-flash not installed")
            << "[5, /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0]" << QStringList{}
            << 2
            << QStringList{"5 +not-installed +-1 .*/usr/bin/zarvo-flash-missing is not installed",
                           "/dev/serial/by-id/\\S+ +not-installed +-1 "}
            << "port 5: not-installed"
            << "/usr/bin/zarvo-flash-missing" << true;
    }
    void playbook() {
        QFETCH(QString, ports);
        QFETCH(QStringList, second);
        QFETCH(int, status);
        QFETCH(QStringList, report);
        QFETCH(QString, failure);
        QFETCH(QString, program);
        QFETCH(bool, relative);
        PortSandbox sandbox;
        QTemporaryDir work, first, other;
        Instrument a(5, {}, first.path());
        Instrument b(6, second, other.path());
        QVERIFY(!a.device().isEmpty() && !b.device().isEmpty());

        QProcess play;
        play.setProcessChannelMode(QProcess::MergedChannels);
        // Ansible's own files in the test's folder, whatever else runs on this machine.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"ANSIBLE_HOME", "ANSIBLE_LOCAL_TEMP", "ANSIBLE_ASYNC_DIR"})
            env.insert(name, work.path() + "/" + name);
        env.insert("ANSIBLE_NOCOLOR", "1");
        play.setProcessEnvironment(env);
        const QString reportPath = work.path() + "/report.txt";
        const QString vars =
            QStringLiteral(R"({"zarvo_ports": %3, "zarvo_flash": "%1",
            "zarvo_options": ["--keep-newer"], "zarvo_report": "%2",
            "ansible_python_interpreter": "/usr/bin/python3"})")
                .arg(program.isEmpty() ? QStringLiteral(ZARVO_BUILD_DIR "/zarvo-flash") : program,
                     relative ? QStringLiteral("report.txt") : reportPath, ports);
        // Started from a shell standing in the test's folder, as a user starts it.
        play.setWorkingDirectory(ZARVO_SOURCE_DIR);
        play.start("sh",
                   {"-c", "cd \"$0\" && exec ansible-playbook \"$@\"", work.path(), "-c", "local",
                    "-i", kHost + ",", ZARVO_SOURCE_DIR "/docs/fleet/flash.yml", "-e", vars});
        QVERIFY(play.waitForFinished(180000));
        const QString output = QString::fromUtf8(play.readAll());
        QVERIFY2(play.exitCode() == status, qPrintable(output));
        // Waiting for the updates is no failure, and must not read as one.
        QVERIFY2(!output.contains("FAILED - RETRYING"), qPrintable(output));

        QFile file(reportPath);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(output));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1 + report.size());
        for (int i = 0; i < report.size(); ++i)
            QVERIFY2(lines[i + 1].contains(QRegularExpression(
                         "^" + QRegularExpression::escape(kHost) + " +" + report[i])),
                     qPrintable(lines[i + 1]));
        const QString why = misaligned(lines);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY(!QFile::exists(ZARVO_SOURCE_DIR "/docs/fleet/report.txt"));
        if (failure.isEmpty())
            QVERIFY2(!output.contains("(exit status"), qPrintable(output));
        else
            QVERIFY2(output.contains(failure), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestFleet)
#include "test_fleet.moc"
