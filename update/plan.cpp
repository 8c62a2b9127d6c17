#include "plan.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "frames.h"
#include "image.h"

namespace {

// One frame and its reply, as they cross the line.
qint64 lineBytes(std::string_view frame) {
    const int reply = frames::expectedReplyLength(frame.substr(4, 4));
    return qint64(frame.size() / 2) + std::max(reply, 0);
}

PhaseLoad single(View::Phase phase, std::string_view frame) {
    return {phase, 1, lineBytes(frame)};
}

PhaseLoad sequence(View::Phase phase, std::span<const std::string_view> list) {
    qint64 bytes = 0;
    for (std::string_view frame : list)
        bytes += lineBytes(frame);
    return {phase, int(list.size()), bytes};
}

} // namespace

std::vector<PhaseLoad> updatePlan(bool remote) {
    using P = View::Phase;
    std::vector<PhaseLoad> plan;
    if (remote)
        plan.push_back(single(P::StartBootloader, frames::StartBootloader));
    plan.push_back(single(P::Identify, frames::ReadVersion));
    plan.push_back(sequence(P::Erase, EraseFrames));
    plan.push_back(single(P::BlankCheck, frames::BlankCheck));
    plan.push_back(sequence(P::Program, WriteFrames));
    plan.push_back(single(P::Verify, frames::Verify));
    plan.push_back(single(P::ResetDefaults, frames::ResetDefaults));
    plan.push_back(single(P::ReadBack, frames::ReadVersion));
    plan.push_back(single(P::Finish, frames::FinishUpdate));
    return plan;
}

TimeLeft::TimeLeft(std::vector<PhaseLoad> plan, int baud)
    : m_plan(std::move(plan)), m_baud(std::max(baud, 1)) {}

double TimeLeft::bytesBefore(Position at) const {
    double bytes = 0;
    for (const PhaseLoad &load : m_plan) {
        if (load.phase == at.phase)
            return bytes + (load.frames > 0 ? double(load.bytes) *
                                                  std::clamp(at.done, 0, load.frames) / load.frames
                                            : 0);
        bytes += double(load.bytes);
    }
    return bytes;
}

double TimeLeft::framesBefore(Position at) const {
    double frames = 0;
    for (const PhaseLoad &load : m_plan) {
        if (load.phase == at.phase)
            return frames + std::clamp(at.done, 0, load.frames);
        frames += load.frames;
    }
    return frames;
}

double TimeLeft::totalBytes() const {
    double bytes = 0;
    for (const PhaseLoad &load : m_plan)
        bytes += double(load.bytes);
    return bytes;
}

double TimeLeft::totalFrames() const {
    double frames = 0;
    for (const PhaseLoad &load : m_plan)
        frames += load.frames;
    return frames;
}

double TimeLeft::secondsLeft(Position from, Position now, double elapsed) const {
    const double bytesLeft = totalBytes() - bytesBefore(now);
    const double framesLeft = totalFrames() - framesBefore(now);
    const double lineLeft = bytesLeft * serial::kBitsPerByte / m_baud;
    const double framesSeen = framesBefore(now) - framesBefore(from);
    const double lineSeen = (bytesBefore(now) - bytesBefore(from)) * serial::kBitsPerByte / m_baud;
    if (framesSeen <= 0 || lineSeen <= 0)
        return lineLeft;
    const double pace = std::min(1.0, elapsed / lineSeen);
    const double beyondLine = std::max(0.0, elapsed - lineSeen) / framesSeen;
    return lineLeft * pace + framesLeft * beyondLine;
}
