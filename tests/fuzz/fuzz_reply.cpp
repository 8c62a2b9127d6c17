// Any reply to any frame of an update, through the link into a recording window: never a
// crash or a read out of bounds, and a blank check or verify whose result bytes are wrong
// never passes. The first input byte picks the frame, the rest is the reply.
#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "commport.h"
#include "frames.h"
#include "link.h"
#include "pty.h"
#include "recordingview.h"

namespace {

constexpr int kPort = 7;

struct Rig {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort port;
    FormState st;
    RecordingView view;
    Link link{st, view, port};
};

Rig *rig = nullptr;

constexpr std::string_view kFrames[] = {
    frames::ReadVersion,  frames::BlankCheck,
    frames::Verify,       frames::ResetDefaults,
    "0F0F0301000800F404", "0F0F02020008000001020305040505060708090A0B0C0D0E050F7C04"};

void require(bool condition) {
    if (!condition)
        std::abort();
}

int at(const QByteArray &reply, int position) {
    return position <= reply.size() ? quint8(reply[position - 1]) : -1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    rig = new Rig;
    require(rig->pty.isValid() && rig->sandbox.link(kPort, rig->pty.slavePath()));
    rig->port.setCommPort(kPort);
    rig->port.setSettings(QStringLiteral("4800,N,8,1"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view frame = kFrames[data[0] % std::size(kFrames)];
    const QByteArray reply(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    FormState &st = rig->st;
    st = FormState{};
    st.sTitleVer = QStringLiteral("Title");
    st.sVersion = QStringLiteral("1012");
    st.bIdle = false;
    st.bFirstErase = st.bFirstWrite = true;
    rig->view.boxes.clear();
    require(rig->port.open());
    rig->pty.read(); // what earlier frames left on the line
    QTimer::singleShot(0, &rig->link, [reply] { rig->link.HandleInput(reply); });
    rig->link.Send(frame);

    const bool passed = !st.bIdle && !st.bEndUpdate && !st.bCheckFailed;
    if (passed)
        require(at(reply, 1) == frames::FrameStart && at(reply, 2) == frames::FrameStart);
    if (frame == frames::BlankCheck && passed)
        require(at(reply, 8) == 0x00 && at(reply, 9) == 0xC4 && at(reply, 10) == 0xFF &&
                at(reply, 11) == 0x3B);
    if (frame == frames::Verify && passed)
        require(at(reply, 8) == 0x00 && at(reply, 9) == 0x00);
    rig->port.close();
    return 0;
}
