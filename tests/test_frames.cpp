// Frame building, checksum, escapes and text-to-bytes conversion against hand-written vectors.
#include <QTest>

#include <string>
#include <vector>

#include "frames.h"

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(std::string)

namespace QTest {
template <> char *toString(const std::string &s) {
    return QTest::toString(QByteArray::fromStdString(s));
}
template <> char *toString(const Bytes &b) {
    return QTest::toString(
        QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size())).toHex(' '));
}
} // namespace QTest

namespace {

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

} // namespace

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    void fixedFrames_data();
    void fixedFrames();
    void eraseFrames_data();
    void eraseFrames();
    void writeFrames_data();
    void writeFrames();
    void checksum_data();
    void checksum();
    void escape_data();
    void escape();
    void aStringToHex_data();
    void aStringToHex();
    void toHex();
};

void TestFrames::fixedFrames_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("address");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<std::string>("stored");
    QTest::addColumn<std::string>("text");
    QTest::addColumn<std::string>("code");

    // The address given to ReadVersion must not appear: it carries no address bytes.
    QTest::newRow("ReadVersion") << 0x00 << 0x01 << 0x123456 << Bytes{}
                                 << std::string(frames::ReadVersion) << std::string("0F0F0001FF04")
                                 << std::string("0001");
    QTest::newRow("BlankCheck") << 0x0A << 0x02 << 0x000800 << Bytes{}
                                << std::string(frames::BlankCheck)
                                << std::string("0F0F0A02000800EC04") << std::string("0A02");
    QTest::newRow("Verify") << 0x0A << 0x01 << 0x000800 << Bytes{} << std::string(frames::Verify)
                            << std::string("0F0F0A01000800ED04") << std::string("0A01");
    QTest::newRow("ResetDefaults")
        << 0x0B << 0x01 << 0x000816 << Bytes{} << std::string(frames::ResetDefaults)
        << std::string("0F0F0B01160800D604") << std::string("0B01");
    QTest::newRow("FinishUpdate") << 0x08 << 0x01 << 0x000000 << bytesOf({0x3C})
                                  << std::string(frames::FinishUpdate)
                                  << std::string("0F0F08010000003CBB04") << std::string("0801");
}

void TestFrames::fixedFrames() {
    QFETCH(int, command);
    QFETCH(int, count);
    QFETCH(int, address);
    QFETCH(Bytes, data);
    QFETCH(std::string, stored);
    QFETCH(std::string, text);
    QFETCH(std::string, code);

    QCOMPARE(frames::buildFrame(command, count, address, data), text);
    QCOMPARE(stored, text);
    QCOMPARE(text.substr(4, 4), code);
}

void TestFrames::eraseFrames_data() {
    QTest::addColumn<int>("address");
    QTest::addColumn<std::string>("text");

    QTest::newRow("first row") << 0x000800 << std::string("0F0F0301000800F404");
    QTest::newRow("last row") << 0x007FC0 << std::string("0F0F0301C07F00BD04");
    // Address middle byte 0x0F: escaped, but summed unescaped.
    QTest::newRow("address 0F00") << 0x000F00 << std::string("0F0F030100050F00ED04");
    QTest::newRow("address 0F40") << 0x000F40 << std::string("0F0F030140050F00AD04");
    QTest::newRow("address 0F80") << 0x000F80 << std::string("0F0F030180050F006D04");
    QTest::newRow("address 0FC0") << 0x000FC0 << std::string("0F0F0301C0050F002D04");
    // The checksum itself escaped, as 0x0F, 0x05 and 0x04.
    QTest::newRow("checksum 0F at 2DC0") << 0x002DC0 << std::string("0F0F0301C02D00050F04");
    QTest::newRow("checksum 05 at 37C0") << 0x0037C0 << std::string("0F0F0301C03700050504");
    QTest::newRow("checksum 04 at 38C0") << 0x0038C0 << std::string("0F0F0301C03800050404");
    QTest::newRow("checksum 0F at 6D80") << 0x006D80 << std::string("0F0F0301806D00050F04");
    QTest::newRow("checksum 05 at 7780") << 0x007780 << std::string("0F0F0301807700050504");
    QTest::newRow("checksum 04 at 7880") << 0x007880 << std::string("0F0F0301807800050404");
    // High byte travels last, and is not dropped.
    QTest::newRow("24-bit address") << 0x123440 << std::string("0F0F0301403412 7604");
}

void TestFrames::eraseFrames() {
    QFETCH(int, address);
    QFETCH(std::string, text);
    std::erase(text, ' ');
    QCOMPARE(frames::buildFrame(frames::CmdEraseRow, 0x01, address), text);
}

void TestFrames::writeFrames_data() {
    QTest::addColumn<int>("address");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<std::string>("text");

    Bytes ramp;
    for (int i = 0; i < 16; ++i)
        ramp.push_back(static_cast<std::uint8_t>(i));
    // 02 02 00 08 00 + 0x00..0x0F sums to 0x84: checksum 0x7C; 04, 05 and 0F escaped.
    QTest::newRow("three escapes, 56 characters")
        << 0x000800 << ramp
        << std::string("0F0F0202000800"
                       "00010203 0504 0505 060708090A0B0C0D0E 050F"
                       "7C04");
    // 02 02 00 10 00 + 16 x 0x11 sums to 0x124: checksum 0xDC.
    QTest::newRow("no escape, 50 characters") << 0x001000 << Bytes(16, 0x11)
                                              << std::string("0F0F0202001000"
                                                             "11111111111111111111111111111111"
                                                             "DC04");
}

void TestFrames::writeFrames() {
    QFETCH(int, address);
    QFETCH(Bytes, data);
    QFETCH(std::string, text);
    std::erase(text, ' ');
    const std::string built = frames::buildFrame(frames::CmdWriteBlocks, 0x02, address, data);
    QCOMPARE(built, text);
    QCOMPARE(built.substr(4, 4), std::string(frames::CodeWriteBlocks));
}

void TestFrames::checksum_data() {
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<int>("expected");

    QTest::newRow("erase row 0x000800") << bytesOf({0x03, 0x01, 0x00, 0x08, 0x00}) << 0xF4;
    QTest::newRow("nothing") << Bytes{} << 0x00;
    QTest::newRow("sum 0x100 wraps to 0") << bytesOf({0xFF, 0x01}) << 0x00;
    QTest::newRow("sum 1") << bytesOf({0x01}) << 0xFF;
    QTest::newRow("sum 0x1FE keeps low byte") << bytesOf({0xFF, 0xFF}) << 0x02;
}

void TestFrames::checksum() {
    QFETCH(Bytes, bytes);
    QFETCH(int, expected);
    QCOMPARE(int(frames::checksum(bytes)), expected);
}

void TestFrames::escape_data() {
    QTest::addColumn<Bytes>("body");
    QTest::addColumn<Bytes>("expected");

    QTest::newRow("empty") << Bytes{} << Bytes{};
    QTest::newRow("plain bytes unchanged") << bytesOf({0x00, 0x03, 0x06, 0x0E, 0x10, 0xFF})
                                           << bytesOf({0x00, 0x03, 0x06, 0x0E, 0x10, 0xFF});
    QTest::newRow("each special byte")
        << bytesOf({0x0F, 0x04, 0x05}) << bytesOf({0x05, 0x0F, 0x05, 0x04, 0x05, 0x05});
    QTest::newRow("escape of an escape is one escape")
        << bytesOf({0x05, 0x05}) << bytesOf({0x05, 0x05, 0x05, 0x05});
}

void TestFrames::escape() {
    QFETCH(Bytes, body);
    QFETCH(Bytes, expected);
    QCOMPARE(frames::escape(body), expected);
}

void TestFrames::aStringToHex_data() {
    QTest::addColumn<std::string>("text");
    QTest::addColumn<Bytes>("expected");

    QTest::newRow("ReadVersion") << std::string("0F0F0001FF04")
                                 << bytesOf({0x0F, 0x0F, 0x00, 0x01, 0xFF, 0x04});
    Bytes start(18, 0x00);
    for (int b : {0xFE, 0xFE, 0x33, 0x00, 0x42, 0x4C, 0x3F, 0xFD})
        start.push_back(static_cast<std::uint8_t>(b));
    QTest::newRow("StartBootloader, 26 bytes")
        << std::string("000000000000000000000000000000000000FEFE3300424C3FFD") << start;
    QTest::newRow("bytes from 0x80 up")
        << std::string("7F80A5FEFF") << bytesOf({0x7F, 0x80, 0xA5, 0xFE, 0xFF});
    QTest::newRow("every digit") << std::string("0123456789ABCDEF")
                                 << bytesOf({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
    // Malformed text: defined results, nothing read beyond the text.
    QTest::newRow("empty") << std::string() << Bytes{};
    QTest::newRow("single character") << std::string("F") << Bytes{};
    QTest::newRow("odd trailing character ignored") << std::string("0F0") << bytesOf({0x0F});
    QTest::newRow("lower case reads as hex")
        << std::string("abcdef") << bytesOf({0xAB, 0xCD, 0xEF});
    QTest::newRow("non-hex high digit is 0") << std::string("G1") << bytesOf({0x01});
    QTest::newRow("non-hex low digit is 0") << std::string("1G") << bytesOf({0x10});
    QTest::newRow("blanks and signs") << std::string(" 1-F") << bytesOf({0x01, 0x0F});
    QTest::newRow("embedded NUL") << std::string("1\0"
                                                 "2F",
                                                 4)
                                  << bytesOf({0x10, 0x2F});
    QTest::newRow("bytes above 0x7F") << std::string("\xC3\xA9"
                                                     "A\xFF")
                                      << bytesOf({0x00, 0xA0});
}

void TestFrames::aStringToHex() {
    QFETCH(std::string, text);
    QFETCH(Bytes, expected);
    const std::string before = text;
    QCOMPARE(frames::aStringToHex(text), expected);
    QCOMPARE(text, before);
}

void TestFrames::toHex() {
    QCOMPARE(frames::toHex(bytesOf({0x00, 0x0A, 0xAB, 0xF0, 0xFF})), std::string("000AABF0FF"));
    QCOMPARE(frames::toHex(Bytes{}), std::string());
    QCOMPARE(frames::StartBootloader.substr(4, 4), frames::CodeStartBootloader);
    QCOMPARE(frames::aStringToHex(frames::StartBootloader).size(), std::size_t(26));
}

QTEST_APPLESS_MAIN(TestFrames)
#include "test_frames.moc"
