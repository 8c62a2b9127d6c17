// The fleet playbook run locally by ansible-playbook against two virtual instruments: one
// report of both results, and the play failed for a host whose update failed.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "instrument.h"
#include "pty.h"

class TestFleet : public QObject {
    Q_OBJECT

private slots:
    void playbook_data() {
        QTest::addColumn<QString>("ports");      // the host's zarvo_ports
        QTest::addColumn<QStringList>("second"); // the second instrument's faults
        QTest::addColumn<int>("status");         // ansible-playbook's
        QTest::addColumn<QStringList>("report"); // per port: outcome, status, after
        QTest::addColumn<QString>("failure");    // what the play says of a failed host
        QTest::newRow("both updated")
            << "[5, 6]" << QStringList{} << 0
            << QStringList{"5 +done +0  1003.01 +1012.01", "6 +done +0  1003.01 +1012.01"} << "";
        QTest::newRow("one fails verify")
            << "[5, 6]" << QStringList{"--fail-verify"} << 2
            << QStringList{"5 +done +0  1003.01 +1012.01",
                           "6 +verify-failed +12  1003.01 +- +Verify Checksum Error; result "
                           "bytes"}
            << "port 6: verify-failed (exit status 12)";
        QTest::newRow("one newer, kept")
            << "[5, 6]" << QStringList{"--version", "1013"} << 0
            << QStringList{"5 +done +0", "6 +declined +3  1013.01"} << "";
        // A host whose list is empty is a mistake in the inventory: it fails, and says so,
        // rather than passing with nothing done.
        QTest::newRow("no ports listed")
            << "[]" << QStringList{} << 2
            << QStringList{"- +no-ports +-1 .*zarvo_ports lists no port for this host"}
            << "port -: no-ports (exit status -1)";
    }
    void playbook() {
        QFETCH(QString, ports);
        QFETCH(QStringList, second);
        QFETCH(int, status);
        QFETCH(QStringList, report);
        QFETCH(QString, failure);
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
        const QString vars = QStringLiteral(R"({"zarvo_ports": %3, "zarvo_flash": "%1",
            "zarvo_options": ["--keep-newer"], "zarvo_report": "%2",
            "ansible_python_interpreter": "/usr/bin/python3"})")
                                 .arg(ZARVO_BUILD_DIR "/zarvo-flash", reportPath, ports);
        play.start("ansible-playbook", {"-c", "local", "-i", "localhost,",
                                        ZARVO_SOURCE_DIR "/docs/fleet/flash.yml", "-e", vars});
        QVERIFY(play.waitForFinished(180000));
        const QString output = QString::fromUtf8(play.readAll());
        QVERIFY2(play.exitCode() == status, qPrintable(output));

        QFile file(reportPath);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(output));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1 + report.size());
        for (int i = 0; i < report.size(); ++i)
            QVERIFY2(lines[i + 1].contains(QRegularExpression("^localhost +" + report[i])),
                     qPrintable(lines[i + 1]));
        if (failure.isEmpty())
            QVERIFY2(!output.contains("(exit status"), qPrintable(output));
        else
            QVERIFY2(output.contains(failure), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestFleet)
#include "test_fleet.moc"
