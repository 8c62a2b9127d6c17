// The instrument loop: bytes from the line to the unit at their time, the unit's answers
// back onto the line, the records, and the ways the loop ends.
#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <utility>

namespace sim {

void Simulator::log(const char *fmt, ...) const {
    if (!m_o.verbose)
        return;
    const auto us = std::chrono::duration_cast<microseconds>(Clock::now() - m_start).count();
    std::fprintf(stderr, "zarvo-sim %lld: ", static_cast<long long>(us));
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void Simulator::record(const std::string &code, const std::string &address, const sim::Bytes &wire,
                       Clock::time_point at) {
    if (!m_transcript)
        return;
    const auto us = std::chrono::duration_cast<microseconds>(at - m_start).count();
    std::fprintf(m_transcript, "%lld %s %s %s\n", static_cast<long long>(us), code.c_str(),
                 address.c_str(), sim::hexText(wire).c_str());
    std::fflush(m_transcript);
}

void Simulator::handleResponse(const sim::Response &r, Clock::time_point at) {
    Clock::time_point ready = at;
    if (m_o.lineTiming)
        ready += m_o.times.of(r.work);
    if (!r.reply.empty())
        ready += m_o.faults.replyDelay;
    ready += r.late.by;
    if (r.late.held && !r.reply.empty()) {
        // Busy until a later frame has begun to come in as well: see releaseHeldReply.
        m_held = HeldReply{r, at, ready, m_bytesIn - static_cast<long long>(m_inbox.size())};
        m_busyUntil = Clock::time_point::max();
        return;
    }
    queueReply(r, at, ready);
}

void Simulator::releaseHeldReply(Clock::time_point now) {
    if (!m_held || now < m_held->due || m_bytesIn == m_held->bytesIn)
        return;
    const HeldReply held = *std::exchange(m_held, std::nullopt);
    log("the late reply leaves, %lld bytes of later frames in",
        static_cast<long long>(m_bytesIn - held.bytesIn));
    queueReply(held.response, held.at, now);
}

void Simulator::queueReply(const sim::Response &r, Clock::time_point at, Clock::time_point ready) {
    m_deviceTime += std::chrono::duration_cast<microseconds>(ready - at);
    m_busyUntil = ready;
    if (r.hangUp) {
        m_hangUpAt = ready;
        return;
    }
    const microseconds bt = byteTime();
    // Each byte is written when its stop bit would have left the wire.
    Clock::time_point t = std::max(ready, m_lastOut);
    const std::size_t piece = (r.reply.size() + std::size_t(r.pieces) - 1) / std::size_t(r.pieces);
    for (std::size_t i = 0; i < r.reply.size(); ++i) {
        if (i > 0 && i % piece == 0)
            t += sim::kPiecePause;
        t += bt;
        m_outbox.push_back({t, r.reply[i], false});
    }
    m_lastOut = t;
    if (r.finished) {
        m_finished = true;
        log("FinishUpdate: the unit starts its firmware");
    }
    if (r.enteredBootloader)
        log("start request heard: the unit enters its bootloader");
}

void Simulator::processInbox(Clock::time_point now) {
    while (!m_inbox.empty() && !m_hangUpAt && m_inbox.front().at <= now && m_busyUntil <= now) {
        const Timed in = m_inbox.front();
        m_inbox.pop_front();
        if (in.resync) {
            m_parser.reset();
            continue;
        }
        if (m_unit.mode() == sim::Unit::Mode::Application) {
            const sim::Response r = m_unit.receiveInApplication(in.byte);
            if (r.enteredBootloader) {
                record("0000", "-",
                       sim::Bytes(sim::kStartRequest.begin(), sim::kStartRequest.end()), in.at);
                m_parser.reset();
                handleResponse(r, in.at);
            }
            continue;
        }
        sim::Frame frame;
        if (!m_parser.feed(in.byte, frame))
            continue;
        char code[8];
        std::snprintf(code, sizeof code, "%02X%02X", frame.command, frame.count);
        char address[8] = "-";
        if (frame.hasAddress)
            std::snprintf(address, sizeof address, "%06X", unsigned(frame.address));
        record(code, address, frame.wire, in.at);
        const sim::Response r = m_unit.receive(frame);
        log("frame %d: %s %s, %zu reply bytes%s", m_unit.framesReceived(), code, address,
            r.reply.size(), r.hangUp ? ", hanging up" : "");
        handleResponse(r, in.at);
    }
}

// When the next byte is due to the unit, or the hang-up to the line.
std::optional<Clock::time_point> Simulator::nextDue() const {
    std::optional<Clock::time_point> next;
    if (m_held) {
        // Until a later frame's first byte comes in, only the line can wake the unit.
        if (m_bytesIn != m_held->bytesIn)
            next = m_held->due;
    } else if (!m_inbox.empty()) {
        next = std::max(m_inbox.front().at, m_busyUntil);
    }
    if (m_hangUpAt && (!next || *m_hangUpAt < *next))
        next = *m_hangUpAt;
    return next;
}

int Simulator::run() {
    // Every wait below ends at an absolute time of the line's schedule; without this the
    // kernel may let each one run up to 50 us late, and the tool would be blamed for it.
    ::prctl(PR_SET_TIMERSLACK, 1000UL);
    for (;;) {
        const Clock::time_point now = Clock::now();
        releaseHeldReply(now);
        processInbox(now);
        const bool flushed = m_fd >= 0 ? flushOutbox(now) : true;

        if (m_hangUpAt && *m_hangUpAt <= now) {
            hangUp();
            return 0;
        }
        if (m_done)
            return 0;
        if (m_o.exitAfterFinish && m_finished && m_outbox.empty() && m_inbox.empty())
            return 0;
        if (m_closedAfterTraffic && m_outbox.empty()) {
            log("the other side closed the line");
            return 0;
        }

        std::optional<Clock::time_point> next = nextDue();
        if (!m_outbox.empty() && flushed && (!next || m_outbox.front().at < *next))
            next = m_outbox.front().at;

        pollfd fds[3] = {{m_fd, short(POLLIN | (flushed ? 0 : POLLOUT)), 0},
                         {m_signalFd, POLLIN, 0},
                         {m_inotifyFd, POLLIN, 0}};
        timespec timeout{};
        timespec *wait = nullptr;
        if (next) {
            const auto left = std::max<long long>(
                0,
                std::chrono::duration_cast<std::chrono::nanoseconds>(*next - Clock::now()).count());
            timeout.tv_sec = time_t(left / 1000000000);
            timeout.tv_nsec = long(left % 1000000000);
            wait = &timeout;
        }
        const int ready = ::ppoll(fds, 3, wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("zarvo-sim: poll");
            return 1;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(m_signalFd, &info, sizeof info) > 0)
                log("signal %u: ending", info.ssi_signo);
            return 0;
        }
        if (fds[2].revents & POLLIN)
            onInotify();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            readLine(Clock::now());
    }
}

namespace {

// Closes a record; false, after saying why, when any of it did not reach the file.
bool closeRecord(std::FILE *file, const std::string &path) {
    const bool failed = std::ferror(file) != 0;
    if (std::fclose(file) == 0 && !failed)
        return true;
    std::fprintf(stderr, "zarvo-sim: cannot write %s\n", path.c_str());
    return false;
}

} // namespace

bool Simulator::writeSummary() const {
    if (m_o.summary.empty())
        return true;
    std::FILE *out = std::fopen(m_o.summary.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "zarvo-sim: cannot write %s: %s\n", m_o.summary.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::fprintf(out, "bytes-in %lld\nbytes-out %lld\ndevice-us %lld\n", m_bytesIn, m_bytesOut,
                 static_cast<long long>(m_deviceTime.count()));
    for (const auto &[name, values] :
         {std::pair{"turnaround-us", &m_turnaroundsUs}, std::pair{"late-us", &m_latenessUs}}) {
        std::fputs(name, out);
        for (long long v : *values)
            std::fprintf(out, " %lld", v);
        std::fputc('\n', out);
    }
    return closeRecord(out, m_o.summary);
}

bool Simulator::shutdown() {
    if (m_shutDown)
        return true;
    m_shutDown = true;
    bool written = true;
    if (!m_link.empty()) {
        std::error_code ec;
        // Only our own link: someone may have taken the port number over meanwhile.
        if (fs::read_symlink(m_link, ec) == fs::path(m_devicePath))
            fs::remove(m_link, ec);
        m_link.clear();
    }
    if (!m_o.dump.empty()) {
        std::ofstream out(m_o.dump, std::ios::binary | std::ios::trunc);
        out << m_unit.flash().toIntelHex();
        out.close(); // a short dump stays in the buffer until here
        if (!out) {
            std::fprintf(stderr, "zarvo-sim: cannot write %s\n", m_o.dump.c_str());
            written = false;
        }
    }
    written = writeSummary() && written;
    if (m_transcript) {
        written = closeRecord(m_transcript, m_o.transcript) && written;
        m_transcript = nullptr;
    }
    if (m_garbled)
        log("%ld bytes arrived at other line settings", m_garbled);
    if (m_overrun)
        std::fprintf(stderr, "zarvo-sim: %ld received bytes lost to overrun\n", m_overrun);
    hangUp();
    if (m_signalFd >= 0)
        ::close(m_signalFd);
    if (m_inotifyFd >= 0)
        ::close(m_inotifyFd);
    m_signalFd = m_inotifyFd = -1;
    return written;
}

} // namespace sim
