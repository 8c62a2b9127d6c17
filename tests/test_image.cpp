// The frame tables compiled into the tool: erase rows by the rule, write frames that rebuild
// exactly, and the layout of the carried image; and that the stand-in image regenerates.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <bitset>
#include <string>
#include <vector>

#include "frames.h"
#include "image.h"

namespace QTest {
template <> char *toString(const std::string &s) {
    return QTest::toString(QByteArray::fromStdString(s));
}
template <> char *toString(const std::string_view &s) {
    return QTest::toString(QByteArray(s.data(), qsizetype(s.size())));
}
} // namespace QTest

namespace {

// Facts of the image this release carries.
constexpr std::size_t kWriteFrameCount = 1658;
constexpr std::array<int, 4> kEscapeProfile{1376, 249, 32, 1}; // frames with 0, 1, 2, 3 escapes
constexpr std::size_t kDataBytes = 26528;

using image::kRegionEnd;
using image::kRegionFirst;

// A frame taken apart: fields unescaped, escapes counted.
struct Decoded {
    bool ok = false;
    std::uint8_t command = 0;
    std::uint8_t count = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
    int escapes = 0;
};

Decoded decode(std::string_view text) {
    Decoded d;
    const std::vector<std::uint8_t> wire = frames::aStringToHex(text);
    if (wire.size() < 4 || wire[0] != 0x0F || wire[1] != 0x0F || wire.back() != 0x04)
        return d;
    std::vector<std::uint8_t> body;
    for (std::size_t i = 2; i + 1 < wire.size(); ++i) {
        if (wire[i] == 0x05) {
            ++d.escapes;
            ++i;
            if (i + 1 >= wire.size())
                return d;
        } else if (wire[i] == 0x0F || wire[i] == 0x04) {
            return d; // unescaped special byte
        }
        body.push_back(wire[i]);
    }
    if (body.size() < 6)
        return d;
    d.command = body[0];
    d.count = body[1];
    d.address = body[2] | body[3] << 8 | body[4] << 16;
    d.data.assign(body.begin() + 5, body.end() - 1);
    d.ok = frames::checksum({body.data(), body.size() - 1}) == body.back();
    return d;
}

// The HEX file read independently of the converter: (address, data) per data record.
struct HexRecord {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
};

std::vector<HexRecord> readHex(const QString &path) {
    std::vector<HexRecord> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (QByteArray line : f.readAll().split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line[0] != ':')
            continue;
        const QByteArray rec = QByteArray::fromHex(line.mid(1));
        if (rec.size() < 5 || rec[3] != 0)
            continue;
        HexRecord r;
        r.address = std::uint8_t(rec[1]) << 8 | std::uint8_t(rec[2]);
        for (int i = 0; i < std::uint8_t(rec[0]); ++i)
            r.data.push_back(std::uint8_t(rec[4 + i]));
        out.push_back(r);
    }
    return out;
}

} // namespace

class TestImage : public QObject {
    Q_OBJECT
private slots:
    void eraseFramesFollowTheRule();
    void eraseFramesHandVectors_data();
    void eraseFramesHandVectors();
    void writeFramesRebuild();
    void writeFramesMatchTheHexFile();
    void runs_data();
    void runs();
    void overlap();
    void coverage();
    void escapeProfile();
    void fitsTheProgressBar();
    void mkimageReproducesTheImage();
};

void TestImage::eraseFramesFollowTheRule() {
    QCOMPARE(EraseFrames.size(), std::size_t(480));
    int escaped = 0;
    for (std::size_t k = 0; k < EraseFrames.size(); ++k) {
        const std::uint32_t address = kRegionFirst + 0x40 * k;
        QCOMPARE(EraseFrames[k], frames::buildFrame(0x03, 0x01, address));
        QCOMPARE(EraseFrames[k].substr(4, 4), frames::CodeEraseRow);
        escaped += EraseFrames[k].size() != 18;
    }
    QCOMPARE(escaped, 10);
}

void TestImage::eraseFramesHandVectors_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::newRow("first") << 0 << "0F0F0301000800F404";
    QTest::newRow("last") << 479 << "0F0F0301C07F00BD04";
    QTest::newRow("0x000F00") << 28 << "0F0F030100050F00ED04";
    QTest::newRow("0x000F40") << 29 << "0F0F030140050F00AD04";
    QTest::newRow("0x000F80") << 30 << "0F0F030180050F006D04";
    QTest::newRow("0x000FC0") << 31 << "0F0F0301C0050F002D04";
    QTest::newRow("0x002DC0") << 151 << "0F0F0301C02D00050F04";
    QTest::newRow("0x0037C0") << 191 << "0F0F0301C03700050504";
    QTest::newRow("0x0038C0") << 195 << "0F0F0301C03800050404";
    QTest::newRow("0x006D80") << 406 << "0F0F0301806D00050F04";
    QTest::newRow("0x007780") << 446 << "0F0F0301807700050504";
    QTest::newRow("0x007880") << 450 << "0F0F0301807800050404";
}

void TestImage::eraseFramesHandVectors() {
    QFETCH(int, index);
    QFETCH(QString, text);
    QCOMPARE(QString::fromLatin1(EraseFrames[index].data(), qsizetype(EraseFrames[index].size())),
             text);
}

void TestImage::writeFramesRebuild() {
    QCOMPARE(WriteFrames.size(), kWriteFrameCount);
    for (std::size_t i = 0; i < WriteFrames.size(); ++i) {
        const std::string_view text = WriteFrames[i];
        const Decoded d = decode(text);
        QVERIFY2(d.ok, qPrintable(QString("frame %1 does not decode").arg(i + 1)));
        QCOMPARE(text.substr(4, 4), frames::CodeWriteBlocks);
        QCOMPARE(d.data.size(), std::size_t(16));
        QCOMPARE(frames::buildFrame(d.command, d.count, d.address, d.data), std::string(text));
    }
}

void TestImage::writeFramesMatchTheHexFile() {
    const std::vector<HexRecord> hex = readHex(QStringLiteral(ZARVO_IMAGE_HEX));
    QCOMPARE(hex.size(), WriteFrames.size());
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const Decoded d = decode(WriteFrames[i]);
        QCOMPARE(d.address, hex[i].address);
        QCOMPARE(d.data, hex[i].data);
    }
}

void TestImage::runs_data() {
    QTest::addColumn<int>("firstFrame"); // 1-based
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("firstAddress");
    QTest::addColumn<int>("lastAddress");
    QTest::newRow("run 1") << 1 << 589 << 0x000800 << 0x002CC0;
    QTest::newRow("run 2, frame 590") << 590 << 1 << 0x003D24 << 0x003D24;
    QTest::newRow("run 3, from frame 591") << 591 << 1068 << 0x003D30 << 0x007FE0;
}

void TestImage::runs() {
    QFETCH(int, firstFrame);
    QFETCH(int, frames);
    QFETCH(int, firstAddress);
    QFETCH(int, lastAddress);
    QVERIFY(std::size_t(firstFrame - 1 + frames) <= WriteFrames.size());
    for (int k = 0; k < frames; ++k) {
        const Decoded d = decode(WriteFrames[firstFrame - 1 + k]);
        QCOMPARE(d.address, std::uint32_t(firstAddress + 16 * k));
    }
    QCOMPARE(decode(WriteFrames[firstFrame - 2 + frames]).address, std::uint32_t(lastAddress));
    // Runs end where the next one does not continue them.
    const std::size_t after = firstFrame - 1 + frames;
    if (after < WriteFrames.size())
        QVERIFY(decode(WriteFrames[after]).address != std::uint32_t(lastAddress + 16));
}

void TestImage::overlap() {
    const Decoded lone = decode(WriteFrames[589]);
    const Decoded next = decode(WriteFrames[590]);
    QCOMPARE(lone.address, std::uint32_t(0x003D24));
    QCOMPARE(next.address, std::uint32_t(0x003D30));
    QVERIFY(std::equal(lone.data.end() - 4, lone.data.end(), next.data.begin()));
}

void TestImage::coverage() {
    std::bitset<0x10000> written;
    std::size_t bytes = 0;
    for (std::string_view text : WriteFrames) {
        const Decoded d = decode(text);
        QVERIFY(d.address >= kRegionFirst);
        QVERIFY(d.address + d.data.size() <= kRegionEnd);
        for (std::size_t j = 0; j < d.data.size(); ++j)
            written.set(d.address + j);
        bytes += d.data.size();
    }
    QCOMPARE(bytes, kDataBytes);
    // Written: the region less the two gaps; nothing else.
    auto gap = [](std::uint32_t a) {
        return (a >= 0x002CD0 && a <= 0x003D23) || (a >= 0x007FF0 && a <= 0x007FFF);
    };
    for (std::uint32_t a = 0; a < written.size(); ++a) {
        const bool expected = a >= kRegionFirst && a < kRegionEnd && !gap(a);
        if (written.test(a) != expected)
            QFAIL(qPrintable(QString("byte 0x%1 %2 written")
                                 .arg(a, 6, 16, QChar('0'))
                                 .arg(expected ? "not" : "wrongly")));
    }
}

void TestImage::escapeProfile() {
    std::array<int, 4> profile{};
    std::size_t longest = 0;
    for (std::string_view text : WriteFrames) {
        const Decoded d = decode(text);
        QVERIFY(d.escapes >= 0 && d.escapes < int(profile.size()));
        QCOMPARE(text.size(), std::size_t(50 + 2 * d.escapes));
        ++profile[d.escapes];
        longest = std::max(longest, text.size());
    }
    QCOMPARE(profile, kEscapeProfile);
    QCOMPARE(longest, std::size_t(56));
}

void TestImage::fitsTheProgressBar() {
    QVERIFY(WriteFrames.size() <= 1920);
    QVERIFY(EraseFrames.size() <= 480);
}

void TestImage::mkimageReproducesTheImage() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath("image.hex");
    QProcess p;
    p.start(QStringLiteral(ZARVO_BUILD_DIR "/tools/zarvo-mkimage"), {out});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());

    QFile generated(out);
    QFile checkedIn(QStringLiteral(ZARVO_IMAGE_HEX));
    QVERIFY(generated.open(QIODevice::ReadOnly));
    QVERIFY(checkedIn.open(QIODevice::ReadOnly));
    const QByteArray a = generated.readAll();
    const QByteArray b = checkedIn.readAll();
    QVERIFY(!a.isEmpty());
    QVERIFY2(a == b, "zarvo-mkimage no longer writes the checked-in image");
}

QTEST_GUILESS_MAIN(TestImage)
#include "test_image.moc"
