// zarvo-sim: a virtual ZARVO instrument on a pseudo-terminal (or a given serial device), so the
// tool can be run, tested and demonstrated without the hardware.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <getopt.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "bootloader.h"
#include "uart.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
namespace fs = std::filesystem;

// The unit's firmware talks at this speed whatever its bootloader is set to.
constexpr int kApplicationBaud = 4800;
// Start bit, eight data bits, stop bit.
constexpr int kBitsPerByte = 10;

struct WorkTimes {
    microseconds erase{2000};
    microseconds write{2000};
    microseconds blankCheck{15000};
    microseconds verify{25000};
    microseconds defaults{20000};

    microseconds of(sim::Work w) const {
        switch (w) {
        case sim::Work::Erase:
            return erase;
        case sim::Work::Write:
            return write;
        case sim::Work::BlankCheck:
            return blankCheck;
        case sim::Work::Verify:
            return verify;
        case sim::Work::Defaults:
            return defaults;
        case sim::Work::None:
            break;
        }
        return microseconds{0};
    }
};

struct Options {
    int com = 0;
    std::string device;
    int baud = 4800;
    bool lineTiming = false;
    WorkTimes times;
    sim::Unit::Mode mode = sim::Unit::Mode::Bootloader;
    sim::Identity identity;
    sim::Faults faults;
    std::string transcript;
    std::string dump;
    bool exitAfterFinish = false;
    bool exitOnClose = false;
    bool verbose = false;
};

void printHelp() {
    std::printf(
        "Usage: zarvo-sim [options]\n"
        "A virtual ZARVO-415B on a pseudo-terminal: answers the tool's bootloader frames like the\n"
        "instrument. The device path is printed as the first line on standard output.\n"
        "\n"
        "The line:\n"
        "  --com N              also link the device as port N: comN in the per-user port\n"
        "                       directory ($XDG_CONFIG_HOME/zarvo-update/ports, else\n"
        "                       ~/.config/zarvo-update/ports); removed again at exit. An entry\n"
        "                       that still leads to a device is left alone and is an error.\n"
        "  --device PATH        use this existing serial device instead of a pseudo-terminal\n"
        "                       (the far side's settings cannot be seen there; not with --com)\n"
        "  --baud N             bootloader speed, default 4800; the tool is understood only at\n"
        "                       this speed with 8 data bits, no parity, 1 stop bit. Anything\n"
        "                       else arrives as a real UART would hear it: garbled, and the\n"
        "                       frame in progress is dropped. (Application mode: 4800.)\n"
        "  --line-timing        pace traffic at the line speed (10 bit times a byte, both\n"
        "                       ways) and give each command the unit's processing time:\n"
        "    --t-erase MS       erase one row, default 2\n"
        "    --t-write MS       write one block, default 2\n"
        "    --t-blank MS       blank check, default 15\n"
        "    --t-verify MS      verify, default 25\n"
        "    --t-defaults MS    reset defaults, default 20\n"
        "                       Without --line-timing every answer is immediate.\n"
        "\n"
        "The unit:\n"
        "  --mode MODE          bootloader (default) or application: the firmware runs, ignores\n"
        "                       bootloader frames and enters the bootloader on the remote start\n"
        "                       request (FE FE 33 00 42 4C 3F FD at 4800), which it echoes\n"
        "  --id XXXX            identification, 4 characters, default 0415 (another one is a\n"
        "                       foreign device)\n"
        "  --version XXXX       installed firmware version, default 1003\n"
        "  --new-version XXXX   version reported after a program sequence that verified,\n"
        "                       default 1012\n"
        "  --no-firmware        report no installed firmware (0xFF for the version). Erasing\n"
        "                       any row also leaves the unit without firmware.\n"
        "\n"
        "Flash model: 32 KiB, all 0xFF at start; 0x000000-0x0007FF (the bootloader) ignores\n"
        "erases and writes. Blank check covers 0x000800-0x007FFF: result 00 C4 FF 3B when\n"
        "erased, else 01 and the first address that is not (low byte first). Verify result:\n"
        "number of bytes written since their row's erase that read back otherwise (16 bits,\n"
        "low byte first), then the 16-bit sum of 0x000800-0x007FFF (low byte first).\n"
        "\n"
        "Faults (N counts bootloader frames from 1; each N option may be repeated):\n"
        "  --drop-reply N       no reply to the N-th frame (the command is carried out)\n"
        "  --garble-reply N     reply to the N-th frame with every byte XOR 0x55\n"
        "  --short-reply N      reply to the N-th frame without its last two bytes\n"
        "  --stray-bytes N      00 55 AA on the line before the reply to the N-th frame\n"
        "  --repeat-reply N     send the reply to the N-th frame again, late: in front of the\n"
        "                       next reply\n"
        "  --hang-up N          hang up the line instead of replying to the N-th frame, then\n"
        "                       exit\n"
        "  --fail-blank-check   one cell (0x004000) no longer erases: the blank check fails\n"
        "  --fail-verify        the first written byte that can lose a bit loses its lowest\n"
        "                       set bit: the verify reports one mismatch\n"
        "  --no-echo            do not echo the start request (the bootloader starts all the\n"
        "                       same)\n"
        "  --reply-delay MS     every reply comes this much later\n"
        "\n"
        "Records and ending:\n"
        "  --transcript FILE    one line per accepted frame: microseconds since start, command\n"
        "                       code, address (6 hex digits, - for none), the frame in hex;\n"
        "                       the start request appears as code 0000\n"
        "  --dump FILE          flash contents at exit as Intel HEX (all-0xFF records left out)\n"
        "  --exit-after-finish  exit once FinishUpdate has arrived\n"
        "  --exit-on-close      exit when the other side closes the line after traffic\n"
        "  --verbose            report what happens on standard error\n"
        "  --help               this text\n"
        "Ends on SIGINT and SIGTERM, writing the records and removing the port link.\n");
}

[[noreturn]] void usageError(const std::string &what) {
    std::fprintf(stderr, "zarvo-sim: %s (see --help)\n", what.c_str());
    std::exit(2);
}

int number(const char *text, const char *option, int min, int max) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < min || v > max)
        usageError(std::string(option) + " wants a number from " + std::to_string(min) + " to " +
                   std::to_string(max) + ", not \"" + text + "\"");
    return int(v);
}

microseconds millis(const char *text, const char *option) {
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno || end == text || *end || v < 0 || v > 600000)
        usageError(std::string(option) + " wants milliseconds, not \"" + text + "\"");
    return microseconds(static_cast<long long>(v * 1000.0 + 0.5));
}

std::string fourChars(const char *text, const char *option) {
    const std::string s = text;
    bool printable = s.size() == 4;
    for (char c : s)
        printable = printable && c >= 0x20 && c < 0x7F;
    if (!printable)
        usageError(std::string(option) + " wants exactly 4 printable ASCII characters");
    return s;
}

Options parse(int argc, char **argv) {
    enum {
        OCom = 256,
        ODevice,
        OBaud,
        OLineTiming,
        OTErase,
        OTWrite,
        OTBlank,
        OTVerify,
        OTDefaults,
        OMode,
        OId,
        OVersion,
        ONewVersion,
        ONoFirmware,
        ODrop,
        OGarble,
        OShort,
        OStray,
        ORepeat,
        OHangUp,
        OFailBlank,
        OFailVerify,
        ONoEcho,
        ODelay,
        OTranscript,
        ODump,
        OExitFinish,
        OExitClose,
        OVerbose,
        OHelp
    };
    static const option longOptions[] = {{"com", required_argument, nullptr, OCom},
                                         {"device", required_argument, nullptr, ODevice},
                                         {"baud", required_argument, nullptr, OBaud},
                                         {"line-timing", no_argument, nullptr, OLineTiming},
                                         {"t-erase", required_argument, nullptr, OTErase},
                                         {"t-write", required_argument, nullptr, OTWrite},
                                         {"t-blank", required_argument, nullptr, OTBlank},
                                         {"t-verify", required_argument, nullptr, OTVerify},
                                         {"t-defaults", required_argument, nullptr, OTDefaults},
                                         {"mode", required_argument, nullptr, OMode},
                                         {"id", required_argument, nullptr, OId},
                                         {"version", required_argument, nullptr, OVersion},
                                         {"new-version", required_argument, nullptr, ONewVersion},
                                         {"no-firmware", no_argument, nullptr, ONoFirmware},
                                         {"drop-reply", required_argument, nullptr, ODrop},
                                         {"garble-reply", required_argument, nullptr, OGarble},
                                         {"short-reply", required_argument, nullptr, OShort},
                                         {"stray-bytes", required_argument, nullptr, OStray},
                                         {"repeat-reply", required_argument, nullptr, ORepeat},
                                         {"hang-up", required_argument, nullptr, OHangUp},
                                         {"fail-blank-check", no_argument, nullptr, OFailBlank},
                                         {"fail-verify", no_argument, nullptr, OFailVerify},
                                         {"no-echo", no_argument, nullptr, ONoEcho},
                                         {"reply-delay", required_argument, nullptr, ODelay},
                                         {"transcript", required_argument, nullptr, OTranscript},
                                         {"dump", required_argument, nullptr, ODump},
                                         {"exit-after-finish", no_argument, nullptr, OExitFinish},
                                         {"exit-on-close", no_argument, nullptr, OExitClose},
                                         {"verbose", no_argument, nullptr, OVerbose},
                                         {"help", no_argument, nullptr, OHelp},
                                         {nullptr, 0, nullptr, 0}};

    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        const char *name = (optind > 0 && optind <= argc) ? argv[optind - 1] : "option";
        switch (c) {
        case OCom:
            o.com = number(optarg, "--com", 1, 9999);
            break;
        case ODevice:
            o.device = optarg;
            break;
        case OBaud:
            o.baud = number(optarg, "--baud", 300, 115200);
            if (!sim::speedFor(o.baud))
                usageError("--baud wants a standard rate such as 1200, 2400 or 4800");
            break;
        case OLineTiming:
            o.lineTiming = true;
            break;
        case OTErase:
            o.times.erase = millis(optarg, "--t-erase");
            break;
        case OTWrite:
            o.times.write = millis(optarg, "--t-write");
            break;
        case OTBlank:
            o.times.blankCheck = millis(optarg, "--t-blank");
            break;
        case OTVerify:
            o.times.verify = millis(optarg, "--t-verify");
            break;
        case OTDefaults:
            o.times.defaults = millis(optarg, "--t-defaults");
            break;
        case OMode:
            if (std::strcmp(optarg, "bootloader") == 0)
                o.mode = sim::Unit::Mode::Bootloader;
            else if (std::strcmp(optarg, "application") == 0)
                o.mode = sim::Unit::Mode::Application;
            else
                usageError("--mode is bootloader or application");
            break;
        case OId:
            o.identity.id = fourChars(optarg, "--id");
            break;
        case OVersion:
            o.identity.version = fourChars(optarg, "--version");
            break;
        case ONewVersion:
            o.identity.newVersion = fourChars(optarg, "--new-version");
            break;
        case ONoFirmware:
            o.identity.noFirmware = true;
            break;
        case ODrop:
            o.faults.dropReply.insert(number(optarg, "--drop-reply", 1, INT_MAX));
            break;
        case OGarble:
            o.faults.garbleReply.insert(number(optarg, "--garble-reply", 1, INT_MAX));
            break;
        case OShort:
            o.faults.shortReply.insert(number(optarg, "--short-reply", 1, INT_MAX));
            break;
        case OStray:
            o.faults.strayBytes.insert(number(optarg, "--stray-bytes", 1, INT_MAX));
            break;
        case ORepeat:
            o.faults.repeatReply.insert(number(optarg, "--repeat-reply", 1, INT_MAX));
            break;
        case OHangUp:
            o.faults.hangUp.insert(number(optarg, "--hang-up", 1, INT_MAX));
            break;
        case OFailBlank:
            o.faults.failBlankCheck = true;
            break;
        case OFailVerify:
            o.faults.failVerify = true;
            break;
        case ONoEcho:
            o.faults.noEcho = true;
            break;
        case ODelay:
            o.faults.replyDelay = millis(optarg, "--reply-delay");
            break;
        case OTranscript:
            o.transcript = optarg;
            break;
        case ODump:
            o.dump = optarg;
            break;
        case OExitFinish:
            o.exitAfterFinish = true;
            break;
        case OExitClose:
            o.exitOnClose = true;
            break;
        case OVerbose:
            o.verbose = true;
            break;
        case OHelp:
            printHelp();
            std::exit(0);
        case ':':
            usageError(std::string(name) + " needs a value");
        default:
            usageError(std::string("unknown option ") + name);
        }
    }
    if (optind < argc)
        usageError(std::string("unexpected argument \"") + argv[optind] + "\"");
    if (o.com && !o.device.empty())
        usageError("--com links a pseudo-terminal; it cannot be used with --device");
    return o;
}

fs::path portDirectory() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    // A relative value is no base directory; the tool ignores it too.
    if (config && *config == '/') {
        base = config;
    } else {
        const char *home = std::getenv("HOME");
        base = fs::path(home ? home : "/") / ".config";
    }
    return base / "zarvo-update" / "ports";
}

class Simulator {
public:
    explicit Simulator(Options options)
        : m_o(std::move(options)), m_unit(m_o.identity, m_o.faults, m_o.mode),
          m_start(Clock::now()) {}
    ~Simulator() { shutdown(); }

    bool openLine();
    int run();

private:
    struct Timed {
        Clock::time_point at;
        std::uint8_t byte = 0;
        bool resync = false; // the receiver lost step here: drop the frame in progress
    };

    void log(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
    sim::LineFormat ownFormat() const;
    microseconds byteTime() const;
    void readLine(Clock::time_point now);
    void processInbox(Clock::time_point now);
    void handleResponse(const sim::Response &r, Clock::time_point at);
    void record(const std::string &code, const std::string &address, const sim::Bytes &wire,
                Clock::time_point at);
    bool flushOutbox(Clock::time_point now);
    void watchOpens();
    void onInotify();
    void hangUp();
    void shutdown();

    Options m_o;
    sim::Unit m_unit;
    sim::FrameParser m_parser;
    Clock::time_point m_start;

    int m_fd = -1;        // our end of the line
    int m_slaveKeep = -1; // the tool's end, held open to read its settings
    std::string m_devicePath;
    fs::path m_link;
    int m_signalFd = -1;
    int m_inotifyFd = -1;
    int m_otherOpens = 0;

    std::deque<Timed> m_inbox;
    std::deque<Timed> m_outbox;
    Clock::time_point m_busyUntil{};
    Clock::time_point m_lastIn{};
    Clock::time_point m_lastOut{};
    std::optional<Clock::time_point> m_hangUpAt;
    bool m_finished = false;
    bool m_traffic = false;
    bool m_closedAfterTraffic = false;
    bool m_done = false;
    std::FILE *m_transcript = nullptr;
    long m_garbled = 0;
};

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
    if (!m_o.transcript.empty()) {
        m_transcript = std::fopen(m_o.transcript.c_str(), "w");
        if (!m_transcript) {
            std::fprintf(stderr, "zarvo-sim: cannot write %s: %s\n", m_o.transcript.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    termios tio{};
    if (!m_o.device.empty()) {
        m_fd = ::open(m_o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0) {
            std::fprintf(stderr, "zarvo-sim: cannot open %s: %s\n", m_o.device.c_str(),
                         std::strerror(errno));
            return false;
        }
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~CRTSCTS;
        sim::applyFormat(tio, ownFormat());
        ::tcsetattr(m_fd, TCSANOW, &tio);
        m_devicePath = m_o.device;
    } else {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0) {
            std::fprintf(stderr, "zarvo-sim: no pseudo-terminal: %s\n", std::strerror(errno));
            return false;
        }
        m_devicePath = ::ptsname(m_fd);
        m_slaveKeep = ::open(m_devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_slaveKeep < 0) {
            std::fprintf(stderr, "zarvo-sim: cannot open %s: %s\n", m_devicePath.c_str(),
                         std::strerror(errno));
            return false;
        }
        // Raw from the start, so nothing the tool sends is translated before it sets the line.
        // At rest the line carries the bootloader's speed: a serial driver puts back the
        // settings it found when the tool closes, and a pseudo-terminal's far end reads the
        // settings only when it reads the bytes. The last frame of an update, written just
        // before the close, must be judged by the speed it was sent at.
        ::tcgetattr(m_slaveKeep, &tio);
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        sim::LineFormat rest;
        rest.baud = m_o.baud;
        sim::applyFormat(tio, rest);
        ::tcsetattr(m_slaveKeep, TCSANOW, &tio);
        if (m_o.exitOnClose)
            watchOpens();
    }

    // Signals go through the loop from here on, so that none can end the unit between
    // linking the port and the clean-up that removes the link again.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    m_signalFd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);

    if (m_o.com) {
        const fs::path dir = portDirectory();
        std::error_code ec;
        fs::create_directories(dir, ec);
        const fs::path link = dir / ("com" + std::to_string(m_o.com));
        if (fs::is_symlink(fs::symlink_status(link, ec))) {
            if (fs::exists(link, ec)) {
                std::fprintf(stderr, "zarvo-sim: %s already leads to %s; not replaced\n",
                             link.c_str(), fs::read_symlink(link, ec).c_str());
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
            std::fprintf(stderr, "zarvo-sim: cannot link %s: %s\n", link.c_str(),
                         ec.message().c_str());
            return false;
        }
        m_link = link;
    }

    std::printf("%s\n", m_devicePath.c_str());
    std::fflush(stdout);
    log("line %s, unit in %s mode at %s%s", m_devicePath.c_str(),
        m_unit.mode() == sim::Unit::Mode::Bootloader ? "bootloader" : "application",
        ownFormat().text().c_str(), m_o.lineTiming ? ", line timing" : "");
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
    for (std::uint8_t b : chunk) {
        m_lastIn = std::max(now, m_lastIn) + bt;
        m_inbox.push_back({m_lastIn, b, false});
    }
    if (resync)
        m_inbox.push_back({std::max(now, m_lastIn), 0, true});
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
    m_busyUntil = ready;
    if (r.hangUp) {
        m_hangUpAt = ready;
        return;
    }
    const microseconds bt = byteTime();
    // Each byte is written when its stop bit would have left the wire.
    Clock::time_point t = std::max(ready, m_lastOut);
    for (std::uint8_t b : r.reply) {
        t += bt;
        m_outbox.push_back({t, b, false});
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
    if (n > 0)
        m_outbox.erase(m_outbox.begin(), m_outbox.begin() + n);
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

int Simulator::run() {
    for (;;) {
        const Clock::time_point now = Clock::now();
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

        std::optional<Clock::time_point> next;
        auto consider = [&](Clock::time_point t) {
            if (!next || t < *next)
                next = t;
        };
        if (!m_inbox.empty())
            consider(std::max(m_inbox.front().at, m_busyUntil));
        if (!m_outbox.empty() && flushed)
            consider(m_outbox.front().at);
        if (m_hangUpAt)
            consider(*m_hangUpAt);

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

void Simulator::shutdown() {
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
        if (!out)
            std::fprintf(stderr, "zarvo-sim: cannot write %s\n", m_o.dump.c_str());
        m_o.dump.clear();
    }
    if (m_transcript) {
        std::fclose(m_transcript);
        m_transcript = nullptr;
    }
    if (m_garbled)
        log("%ld bytes arrived at other line settings", m_garbled);
    hangUp();
    if (m_signalFd >= 0)
        ::close(m_signalFd);
    if (m_inotifyFd >= 0)
        ::close(m_inotifyFd);
    m_signalFd = m_inotifyFd = -1;
}

} // namespace

int main(int argc, char **argv) {
    Simulator simulator(parse(argc, argv));
    if (!simulator.openLine())
        return 1;
    return simulator.run();
}
