// Any reply to any frame of an update, arriving in any pieces, through the port and the link
// into a recording window: never a crash or a read out of bounds; a blank check or verify
// whose result bytes are wrong never passes, nor does another device's identification, nor
// an installed version no older than the image's without the user's yes; and how the frame
// ended (the outcome, the panels, the port) tells one story. The line is held in memory, so
// that a run takes microseconds rather than a pseudo-terminal's milliseconds.
//   byte 0      which frame is sent
//   bytes 1-2   where the reply is cut: bit i of the two (little-endian) set, a piece ends
//               after reply byte i (counted from 0, over and over every 16 bytes)
//   the rest    the reply
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "commport.h"
#include "frames.h"
#include "link.h"
#include "memoryline.h"
#include "recordingview.h"
#include "texts.h"

namespace {

struct Rig {
    CommPort port;
    FormState st;
    RecordingView view{st};
    Link link{st, view, port};
    MemoryLine *line = nullptr; // the line of the port's last open
    QByteArrayList answer;      // the pieces the line answers the frame with
};

Rig *rig = nullptr;

constexpr std::string_view kFrames[] = {
    frames::ReadVersion,  frames::BlankCheck,
    frames::Verify,       frames::ResetDefaults,
    "0F0F0301000800F404", "0F0F02020008000001020305040505060708090A0B0C0D0E050F7C04"};

// Names the check that failed: the compiler folds the aborts, so the stack cannot.
void require(bool condition, int line = __builtin_LINE()) {
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_reply: the check at line %d failed\n", line);
    std::abort();
}

int at(const QByteArray &reply, int position) {
    return position <= reply.size() ? quint8(reply[position - 1]) : -1;
}

QByteArrayList cut(const QByteArray &reply, unsigned mask) {
    QByteArrayList pieces;
    bool cutHere = true;
    for (qsizetype i = 0; i < reply.size(); ++i) {
        if (cutHere)
            pieces << QByteArray();
        pieces.back() += reply[i];
        cutHere = mask & (1u << (i % 16));
    }
    return pieces;
}

// What the user is left with once the frame is through.
struct Ending {
    Outcome outcome;
    bool idle;
    bool checkFailed;
    bool versionOK;
    QString panels[5];
    QStringList boxes;

    friend bool operator==(const Ending &, const Ending &) = default;
};

Ending run(std::string_view frame, const QByteArray &reply, const QByteArrayList &pieces) {
    rig->answer = pieces;
    FormState &st = rig->st;
    st = FormState{};
    st.sTitleVer = QStringLiteral("Title");
    st.sVersion = QStringLiteral("1012");
    st.bIdle = false;
    st.bFirstErase = st.bFirstWrite = true;
    RecordingView &view = rig->view;
    view.clear();
    view.exitCaption = texts::CancelCaption; // as the running update shows it
    require(rig->port.open());
    rig->link.Send(frame);

    const std::vector<std::uint8_t> wire = frames::aStringToHex(frame);
    require(rig->line->written ==
            QByteArray(reinterpret_cast<const char *>(wire.data()), qsizetype(wire.size())));
    // Nothing is evaluated that the line did not bring.
    require(st.sReply.size() <= reply.size());

    const bool passed = !st.bIdle && !st.bEndUpdate && !st.bCheckFailed;
    // A frame that passed leaves the update running on an open port with nothing told; any
    // other ending is back at idle on a closed port, with the outcome saying why.
    require(passed == (st.outcome.value == Outcome::None));
    require(passed == rig->port.isOpen());
    require(passed != st.bIdle);
    require(view.exitCaption == (passed ? texts::CancelCaption : texts::ExitCaption));
    if (passed)
        require(view.boxes.isEmpty());

    if (passed)
        require(at(st.sReply, 1) == frames::FrameStart && at(st.sReply, 2) == frames::FrameStart);
    if (frame == frames::ReadVersion && passed) {
        require(st.sReply.mid(4, 4) == "0415" && st.bVersionOK);
        // Never a silent replacement of the version the image carries, or a later one.
        require(at(st.sReply, 9) == 0xFF ||
                QString::compare(st.sVersion, QString::fromLatin1(st.sReply.mid(8, 4)),
                                 Qt::CaseInsensitive) > 0);
    }
    if (frame == frames::BlankCheck && passed)
        require(at(st.sReply, 8) == 0x00 && at(st.sReply, 9) == 0xC4 && at(st.sReply, 10) == 0xFF &&
                at(st.sReply, 11) == 0x3B);
    if (frame == frames::Verify && passed)
        require(at(st.sReply, 8) == 0x00 && at(st.sReply, 9) == 0x00);
    // A failed check says so in its panels, and is the outcome unless an earlier failure of
    // the same frame (no reply, not a bootloader's) came first.
    if (st.bCheckFailed) {
        const bool blank = frame == frames::BlankCheck;
        require(blank || frame == frames::Verify);
        require(view.panels[1] ==
                (blank ? QStringLiteral("Blank Check Failed") : QStringLiteral("Verify Failed")));
        const Outcome own = blank ? Outcome::BlankCheckFailed : Outcome::VerifyFailed;
        require(st.outcome.value == own || st.outcome.value == Outcome::CommError ||
                st.outcome.value == Outcome::NotBootloader);
        if (st.outcome.value == own)
            require(st.outcome.detail == QStringLiteral("result bytes ") + view.panels[3]);
    }
    rig->port.close();
    Ending ending{st.outcome.value, st.bIdle, st.bCheckFailed, st.bVersionOK, {}, view.boxTexts()};
    std::copy(std::begin(view.panels), std::end(view.panels), ending.panels);
    return ending;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    rig = new Rig;
    openInMemory(rig->port, [](MemoryLine &line) {
        line.peer = [](const QByteArray &) { return rig->answer; };
        // A reply that never completes ends the wait at once rather than in a second.
        line.hangUpWhenDone = true;
        rig->line = &line;
    });
    rig->port.setSettings(QStringLiteral("4800,N,8,1"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3)
        return 0;
    const std::string_view frame = kFrames[data[0] % std::size(kFrames)];
    const QByteArray reply(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
    const QByteArrayList pieces = cut(reply, data[1] | unsigned(data[2]) << 8);
    const Ending ending = run(frame, reply, pieces);
    // Where the line cut a reply does not change what it means, for a reply no longer than
    // the one awaited and without a whole frame (an end byte) that the receive path could
    // take on its own.
    if (pieces.size() > 1 && reply.size() <= frames::expectedReplyLength(frame.substr(4, 4)) &&
        !reply.contains(char(frames::FrameEnd)))
        require(run(frame, reply, {reply}) == ending);
    return 0;
}
