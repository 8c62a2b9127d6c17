// The build-time HEX converter: what it refuses (with file and line), and what it writes.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "frames.h"

namespace {

const QString kConverter = QStringLiteral(ZARVO_BUILD_DIR "/tools/zarvo-hex2frames");

// One Intel HEX record line with a correct checksum.
QByteArray record(int address, int type, const QByteArray &data) {
    QByteArray rec;
    rec.append(char(data.size()));
    rec.append(char(address >> 8));
    rec.append(char(address));
    rec.append(char(type));
    rec.append(data);
    unsigned sum = 0;
    for (char c : rec)
        sum += static_cast<unsigned char>(c);
    rec.append(char((256 - (sum & 0xFF)) & 0xFF));
    return ':' + rec.toHex().toUpper() + '\n';
}

QByteArray block(char fill = 0x11) {
    return QByteArray(16, fill);
}

const QByteArray kEof = ":00000001FF\n";

struct Run {
    int exitCode = -1;
    QByteArray stderrText;
};

Run convert(const QString &input, const QString &output) {
    QProcess p;
    p.start(kConverter, {input, output});
    if (!p.waitForFinished(60000))
        return {};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardError()};
}

bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestHex2Frames : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void refuses_data();
    void refuses();
    void missingInput();
    void converts_data();
    void converts();
};

void TestHex2Frames::initTestCase() {
    QVERIFY2(QFile::exists(kConverter), qPrintable(kConverter));
}

void TestHex2Frames::refuses_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("reason");

    const QByteArray good = record(0x0800, 0, block());

    QByteArray badSum = good;
    badSum[badSum.size() - 2] = badSum.at(badSum.size() - 2) == '0' ? '1' : '0';
    QTest::newRow("bad checksum") << good + badSum + kEof << 2 << "bad checksum";
    QTest::newRow("data record of 8 bytes")
        << record(0x0800, 0, QByteArray(8, 0x22)) + kEof << 1 << "data record of 8 bytes";
    QTest::newRow("data record of 32 bytes")
        << record(0x0800, 0, QByteArray(32, 0x22)) + kEof << 1 << "data record of 32 bytes";
    QTest::newRow("empty data record")
        << record(0x0800, 0, {}) + kEof << 1 << "data record of 0 bytes";
    QTest::newRow("below the region")
        << good + record(0x07F0, 0, block()) + kEof << 2 << "0x0007F0 to 0x0007FF lie outside";
    QTest::newRow("straddles the region start")
        << record(0x07F8, 0, block()) + kEof << 1 << "outside";
    QTest::newRow("straddles the region end")
        << record(0x7FF8, 0, block()) + kEof << 1 << "0x007FF8 to 0x008007 lie outside";
    QTest::newRow("above the region") << record(0x8000, 0, block()) + kEof << 1 << "outside";
    QTest::newRow("extended linear address moves it out")
        << record(0, 4, QByteArray::fromHex("0001")) + record(0x0800, 0, block()) + kEof << 2
        << "0x010800 to 0x01080F lie outside";
    QTest::newRow("address at the top of 32 bits does not wrap into the region")
        << record(0, 4, QByteArray::fromHex("FFFF")) + record(0xFFF8, 0, block()) + kEof << 2
        << "0xFFFFFFF8 to 0x100000007 lie outside";
    QTest::newRow("extended segment address moves it out")
        << record(0, 2, QByteArray::fromHex("1000")) + record(0x0800, 0, block()) + kEof << 2
        << "0x010800 to 0x01080F lie outside";

    QByteArray many;
    for (int i = 0; i < 1921; ++i)
        many += record(0x0800 + 16 * (i % 1920), 0, block());
    QTest::newRow("1921 frames") << many + kEof << 1921 << "more than 1920 data records";

    // Flash only clears bits: after the erase the unit would hold neither record's bytes.
    QTest::newRow("overlap with different bytes")
        << good + record(0x1000, 0, block()) + record(0x0808, 0, block(0x33)) + kEof << 3
        << "byte 0x000808 overlaps line 1 with different data";
    QTest::newRow("overlap differing in its last byte only")
        << record(0x0800, 0, block()) +
               record(0x080F, 0, QByteArray(1, 0x10) + QByteArray(15, 0x11)) + kEof
        << 2 << "byte 0x00080F overlaps line 1";

    QTest::newRow("no colon") << good + good.mid(1) + kEof << 2 << "does not start with ':'";
    QTest::newRow("odd length") << good +
                                       ":0000000"
                                       "\n" +
                                       kEof
                                << 2 << "odd number";
    QTest::newRow("non-hex digit") << ":10080000ZZ" + good.mid(11) + kEof << 1 << "non-hex";
    QTest::newRow("length field too large")
        << ":11080000" + good.mid(9) + kEof << 1 << "length field says 17";
    QTest::newRow("length field too small")
        << ":0F080000" + good.mid(9) + kEof << 1 << "length field says 15";
    QTest::newRow("record too short") << good + ":0000\n" + kEof << 2 << "too short";
    QTest::newRow("colon alone") << QByteArray(":\n") + kEof << 1 << "too short";
    QTest::newRow("unknown record type")
        << good + record(0, 6, {}) + kEof << 2 << "unknown record type 0x06";
    QTest::newRow("data after EOF") << good + kEof + good << 3 << "after the end-of-file record";
    QTest::newRow("second EOF") << good + kEof + kEof << 3 << "after the end-of-file record";
    QTest::newRow("no EOF") << good + good << 2 << "no end-of-file record";
    QTest::newRow("empty file") << QByteArray() << 1 << "no end-of-file record";
    QTest::newRow("EOF only") << kEof << 1 << "no data records";
    QTest::newRow("EOF with data") << good + record(0, 1, "\x01") << 2 << "carries data";
    QTest::newRow("extended address of 1 byte")
        << record(0, 4, "\x01") + good + kEof << 1 << "not 2";
}

void TestHex2Frames::refuses() {
    QFETCH(QByteArray, content);
    QFETCH(int, line);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    const QString input = dir.filePath("image.hex");
    const QString output = dir.filePath("frame_tables.cpp");
    QVERIFY(writeFile(input, content));
    // A table from an earlier, good conversion must not outlive a refused one.
    QVERIFY(writeFile(output, "stale"));

    const Run run = convert(input, output);
    QVERIFY2(run.exitCode > 0, run.stderrText.constData());
    const QString message = QString::fromLocal8Bit(run.stderrText);
    const QString where = input + ':' + QString::number(line) + ": ";
    QVERIFY2(message.startsWith(where), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QVERIFY(!QFile::exists(output));
    QVERIFY(!QFile::exists(output + ".tmp"));
}

void TestHex2Frames::missingInput() {
    QTemporaryDir dir;
    const QString output = dir.filePath("frame_tables.cpp");
    const Run run = convert(dir.filePath("absent.hex"), output);
    QVERIFY(run.exitCode > 0);
    QVERIFY(run.stderrText.contains("absent.hex:"));
    QVERIFY(!QFile::exists(output));
}

void TestHex2Frames::converts_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("writeFrames");

    QByteArray ramp;
    for (int i = 0; i < 16; ++i)
        ramp.append(char(i));
    // Hand-built: 02 02 00 08 00 + 00..0F, checksum 7C, three escapes; 16 x 0x11 at 0x1000,
    // checksum DC, none.
    const QStringList two{"0F0F020200080000010203050405050607080"
                          "90A0B0C0D0E050F7C04",
                          "0F0F020200100011111111111111111111111111111111DC04"};
    const QByteArray body = record(0x0800, 0, ramp) + record(0x1000, 0, block());

    QTest::newRow("plain") << body + kEof << two;
    QByteArray crlf = body + kEof;
    crlf.replace("\n", "\r\n");
    QTest::newRow("CRLF line ends") << crlf << two;
    QTest::newRow("lower-case digits and blank lines") << "\n" + body.toLower() + "\n" + kEof + "\n"
                                                       << two;
    QTest::newRow("zero extended address and a start address")
        << record(0, 4, QByteArray(2, 0)) + body + record(0, 5, QByteArray(4, 0)) + kEof << two;
    QTest::newRow("overlap with equal bytes")
        << body + record(0x0808, 0, ramp.mid(8) + QByteArray(8, 0x11)) + kEof
        << two + QStringList{"0F0F020208080008090A0B0C0D0E050F11111111111111110804"};
    QTest::newRow("last block of the region") << record(0x7FF0, 0, block(0x22)) + kEof
                                              << QStringList{"0F0F0202F07F00"
                                                             "22222222222222222222222222222222"
                                                             "6D04"};
}

void TestHex2Frames::converts() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, writeFrames);

    QTemporaryDir dir;
    const QString input = dir.filePath("image.hex");
    const QString output = dir.filePath("frame_tables.cpp");
    QVERIFY(writeFile(input, content));

    const Run run = convert(input, output);
    QVERIFY2(run.exitCode == 0, run.stderrText.constData());
    QVERIFY(!QFile::exists(output + ".tmp"));
    QFile out(output);
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QByteArray src = out.readAll();

    // The write table holds exactly the expected frames, in order.
    const qsizetype writeAt = src.indexOf("kWriteFrames[]");
    QVERIFY(writeAt > 0);
    const qsizetype writeEnd = src.indexOf("};", writeAt);
    QByteArrayList found;
    for (qsizetype at = src.indexOf('"', writeAt); at >= 0 && at < writeEnd;) {
        const qsizetype close = src.indexOf('"', at + 1);
        found << src.mid(at + 1, close - at - 1);
        at = src.indexOf('"', close + 1);
    }
    QByteArrayList expected;
    for (QString f : writeFrames)
        expected << f.remove(' ').toLatin1();
    QCOMPARE(found, expected);

    // The erase table: 480 rows, first and last as written by hand.
    const QByteArray erase = src.mid(0, writeAt);
    QCOMPARE(erase.count("\"0F0F0301"), 480);
    QVERIFY(erase.contains("\"0F0F0301000800F404\""));
    QVERIFY(erase.contains("\"0F0F0301C07F00BD04\""));
    QVERIFY(
        src.contains("extern const std::span<const std::string_view> EraseFrames{kEraseFrames};"));
    QVERIFY(
        src.contains("extern const std::span<const std::string_view> WriteFrames{kWriteFrames};"));
}

QTEST_GUILESS_MAIN(TestHex2Frames)
#include "test_hex2frames.moc"
