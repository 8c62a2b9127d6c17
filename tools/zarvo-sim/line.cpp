// The line: opening it (pseudo-terminal or device), the port link, its pace in both
// directions, the far side's settings and opens, and hanging it up.
#include "simulator.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "portnames.h"

namespace sim {

namespace {

// The unit's firmware talks at this speed whatever its bootloader is set to.
constexpr int kApplicationBaud = 4800;
// Start bit, eight data bits, stop bit.
constexpr int kBitsPerByte = 10;
// With the line's timing, what the line carries in this time is all that may wait for the
// unit; more than that could not have been on a real line, and is lost as in an overrun.
constexpr std::chrono::seconds kReceiveQueueTime{2};

// A terminal device opened without becoming ours; -1 after saying why it would not open.
int openTerminal(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        std::fprintf(stderr, "zarvo-sim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return fd;
}

// Bytes pass untranslated at `format`; the modem lines are not waited for.
void makeRaw(int fd, const LineFormat &format, bool noHardwareFlow) {
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (noHardwareFlow)
        tio.c_cflag &= ~CRTSCTS;
    applyFormat(tio, format);
    ::tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

sim::LineFormat Simulator::ownFormat() const {
    sim::LineFormat f;
    f.baud = m_unit.mode() == sim::Unit::Mode::Application ? kApplicationBaud : m_o.baud;
    return f;
}

microseconds Simulator::byteTime() const {
    if (!m_o.lineTiming)
        return microseconds{0};
    return microseconds(kBitsPerByte * 1000000LL / ownFormat().baud);
}

bool Simulator::openLine() {
    if (!openTranscript())
        return false;
    if (!(m_o.device.empty() ? openPseudoTerminal() : openDevice()))
        return false;
    routeSignals();
    if (m_o.com && !linkPort())
        return false;
    std::printf("%s\n", m_devicePath.c_str());
    std::fflush(stdout);
    log("line %s, unit in %s mode at %s%s", m_devicePath.c_str(),
        m_unit.mode() == sim::Unit::Mode::Bootloader ? "bootloader" : "application",
        ownFormat().text().c_str(), m_o.lineTiming ? ", line timing" : "");
    return true;
}

bool Simulator::openTranscript() {
    if (m_o.transcript.empty())
        return true;
    m_transcript = std::fopen(m_o.transcript.c_str(), "w");
    if (!m_transcript) {
        std::fprintf(stderr, "zarvo-sim: cannot write %s: %s\n", m_o.transcript.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

bool Simulator::openDevice() {
    m_fd = openTerminal(m_o.device);
    if (m_fd < 0)
        return false;
    makeRaw(m_fd, ownFormat(), true);
    m_devicePath = m_o.device;
    return true;
}

bool Simulator::openPseudoTerminal() {
    m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0) {
        std::fprintf(stderr, "zarvo-sim: no pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    m_devicePath = ::ptsname(m_fd);
    m_slaveKeep = openTerminal(m_devicePath);
    if (m_slaveKeep < 0)
        return false;
    // Raw from the start, so nothing the tool sends is translated before it sets the line.
    // At rest the line carries the bootloader's speed: a serial driver puts back the
    // settings it found when the tool closes, and a pseudo-terminal's far end reads the
    // settings only when it reads the bytes. The last frame of an update, written just
    // before the close, must be judged by the speed it was sent at.
    sim::LineFormat rest;
    rest.baud = m_o.baud;
    makeRaw(m_slaveKeep, rest, false);
    if (m_o.exitOnClose)
        watchOpens();
    return true;
}

// Signals go through the loop from here on, so that none can end the unit between
// linking the port and the clean-up that removes the link again.
void Simulator::routeSignals() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    m_signalFd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);
}

bool Simulator::linkPort() {
    std::error_code ec;
    if (QString why; !serial::makePortDirectory(&why)) {
        std::fprintf(stderr, "zarvo-sim: %s\n", qPrintable(why));
        return false;
    }
    const fs::path link = QFile::encodeName(serial::portEntry(m_o.com)).toStdString();
    if (fs::is_symlink(fs::symlink_status(link, ec))) {
        // A link to a remote serial port leads nowhere on this machine and is still taken.
        if (fs::exists(link, ec) ||
            !serial::networkTarget(QFile::decodeName(link.c_str())).isEmpty()) {
            std::fprintf(stderr, "zarvo-sim: %s already leads to %s; not replaced\n", link.c_str(),
                         fs::read_symlink(link, ec).c_str());
            return false;
        }
        fs::remove(link, ec); // left behind by a unit that did not end cleanly
    } else if (fs::exists(fs::symlink_status(link, ec))) {
        std::fprintf(stderr, "zarvo-sim: %s exists and is not a link; not replaced\n",
                     link.c_str());
        return false;
    }
    fs::create_symlink(m_devicePath, link, ec);
    if (ec) {
        std::fprintf(stderr, "zarvo-sim: cannot link %s: %s\n", link.c_str(), ec.message().c_str());
        return false;
    }
    m_link = link;
    return true;
}

// Every open and close of the device shows here; ours happened before the watch began.
void Simulator::watchOpens() {
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd >= 0 && ::inotify_add_watch(m_inotifyFd, m_devicePath.c_str(),
                                                IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_inotifyFd);
        m_inotifyFd = -1;
    }
    if (m_inotifyFd < 0)
        std::fprintf(stderr, "zarvo-sim: cannot watch %s; --exit-on-close has no effect\n",
                     m_devicePath.c_str());
}

void Simulator::onInotify() {
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = ::read(m_inotifyFd, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(p);
            if (ev->mask & IN_OPEN)
                ++m_otherOpens;
            if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                --m_otherOpens;
                if (m_otherOpens <= 0 && m_traffic)
                    m_closedAfterTraffic = true;
            }
            p += sizeof(inotify_event) + ev->len;
        }
    }
}

void Simulator::readLine(Clock::time_point now) {
    std::uint8_t buf[4096];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (!m_o.device.empty()) {
                log("the device went away");
                m_done = true;
            }
        }
        return;
    }
    m_traffic = true;
    m_bytesIn += n;
    if (m_replyEnd) {
        m_turnaroundsUs.push_back(
            std::chrono::duration_cast<microseconds>(now - *m_replyEnd).count());
        m_replyEnd.reset();
    }
    sim::Bytes chunk(buf, buf + n);
    bool resync = false;
    if (m_slaveKeep >= 0) {
        termios tio{};
        ::tcgetattr(m_slaveKeep, &tio);
        const sim::LineFormat theirs = sim::formatOf(tio);
        const sim::LineFormat ours = ownFormat();
        if (!(theirs == ours)) {
            sim::Reception heard = sim::receive(chunk, theirs, ours);
            // A second stop bit alone is only a longer pause on the wire; the unit is held to
            // exactly its own settings all the same, so that a wrong one is noticed here.
            if (heard.bytes == chunk)
                heard.bytes.clear();
            m_garbled += long(chunk.size());
            log("%zd bytes sent at %s, unit listens at %s: %zu garbled bytes arrive", n,
                theirs.text().c_str(), ours.text().c_str(), heard.bytes.size());
            chunk = std::move(heard.bytes);
            resync = true;
        }
    }
    const microseconds bt = byteTime();
    const std::size_t room = m_o.lineTiming ? std::size_t(kReceiveQueueTime / bt)
                                            : std::numeric_limits<std::size_t>::max();
    for (std::uint8_t b : chunk) {
        if (m_inbox.size() >= room) {
            if (m_overrun++ == 0)
                log("receive queue full: received bytes are dropped");
            continue;
        }
        m_lastIn = std::max(now, m_lastIn) + bt;
        m_inbox.push_back({m_lastIn, b, false});
    }
    if (resync)
        m_inbox.push_back({std::max(now, m_lastIn), 0, true});
}

bool Simulator::flushOutbox(Clock::time_point now) {
    sim::Bytes due;
    for (const Timed &t : m_outbox) {
        if (t.at > now)
            break;
        due.push_back(t.byte);
    }
    if (due.empty())
        return true;
    const ssize_t n = ::write(m_fd, due.data(), due.size());
    if (n > 0) {
        const Clock::time_point lastDue = m_outbox[std::size_t(n) - 1].at;
        m_outbox.erase(m_outbox.begin(), m_outbox.begin() + n);
        m_bytesOut += n;
        if (m_outbox.empty()) {
            // From here the line is idle until the tool's next byte; the time it took to
            // get here after the byte was due is ours, not the tool's.
            m_replyEnd = Clock::now();
            m_latenessUs.push_back(
                std::chrono::duration_cast<microseconds>(*m_replyEnd - lastDue).count());
        }
    }
    return n == ssize_t(due.size());
}

void Simulator::hangUp() {
    log("hanging up the line");
    if (!m_o.device.empty()) { // speed 0 drops the modem lines
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfsetospeed(&tio, B0);
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
    m_slaveKeep = -1;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace sim
