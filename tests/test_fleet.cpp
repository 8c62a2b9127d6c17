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
        QTest::addColumn<QStringList>("second"); // the second instrument's faults
        QTest::addColumn<int>("status");         // ansible-playbook's
        QTest::addColumn<QStringList>("report"); // per port: outcome, status, after
        QTest::newRow("both updated")
            << QStringList{} << 0
            << QStringList{"5 +done +0  1003.01 +1012.01", "6 +done +0  1003.01 +1012.01"};
        QTest::newRow("one fails verify")
            << QStringList{"--fail-verify"} << 2
            << QStringList{"5 +done +0  1003.01 +1012.01",
                           "6 +verify-failed +12  1003.01 +- +Verify Checksum Error; result "
                           "bytes"};
        QTest::newRow("one newer, kept") << QStringList{"--version", "1013"} << 0
                                         << QStringList{"5 +done +0", "6 +declined +3  1013.01"};
    }
    void playbook() {
        QFETCH(QStringList, second);
        QFETCH(int, status);
        QFETCH(QStringList, report);
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
        const QString vars = QStringLiteral(R"({"zarvo_ports": [5, 6], "zarvo_flash": "%1",
            "zarvo_options": ["--keep-newer"], "zarvo_report": "%2",
            "ansible_python_interpreter": "/usr/bin/python3"})")
                                 .arg(ZARVO_BUILD_DIR "/zarvo-flash", reportPath);
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
        QCOMPARE(output.contains("port 6: verify-failed (exit status 12)"), status != 0);
    }
};

QTEST_GUILESS_MAIN(TestFleet)
#include "test_fleet.moc"
