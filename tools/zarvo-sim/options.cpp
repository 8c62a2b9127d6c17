#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iterator>
#include <string>

#include "appinfo.h"
#include "uart.h"

namespace sim {

namespace {

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
        "  --baud N             bootloader speed, default %d (the instrument's are %s);\n"
        "                       the tool is understood only at this speed with 8 data bits,\n"
        "                       no parity, 1 stop bit. Anything else arrives as a real UART\n"
        "                       would hear it: garbled, and the frame in progress is dropped.\n"
        "                       (Application mode: 4800.)\n"
        "  --line-timing        pace traffic at the line speed (10 bit times a byte, both\n"
        "                       ways) and give each command the unit's processing time,\n"
        "                       below; without it every answer is immediate.\n"
        "    --t-erase MS       erase one row, default 2\n"
        "    --t-write MS       write one block, default 2\n"
        "    --t-blank MS       blank check, default 15\n"
        "    --t-verify MS      verify, default 25\n"
        "    --t-defaults MS    reset defaults, default 20\n"
        "\n"
        "The unit:\n"
        "  --mode MODE          bootloader (default) or application: the firmware runs, ignores\n"
        "                       bootloader frames and enters the bootloader on the remote start\n"
        "                       request (FE FE 33 00 42 4C 3F FD at 4800), which it echoes\n"
        "  --id XXXX            identification, 4 characters, default 0415 (another one is a\n"
        "                       foreign device)\n"
        "  --version XXXX       installed firmware version, default 1003\n"
        "  --new-version XXXX   version reported after a program sequence that verified,\n"
        "                       default %s\n"
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
        "  --split-reply N      the reply to the N-th frame in three pieces, 40 ms apart\n"
        "  --late-reply N       the reply to the N-th frame 3 s late, after the tool gave up\n"
        "  --late-reply N:MS    the reply to the N-th frame MS late, and not before a byte of a\n"
        "                       later frame has come in (the next run's); the unit is busy\n"
        "                       until then, and answers the frames that came meanwhile after it\n"
        "  --flood-reply N      4096 stray bytes before the reply to the N-th frame\n"
        "  --oversize-reply N   the reply to the N-th frame twice over\n"
        "  --wrong-reply N      answer the N-th frame as if it were another command\n"
        "  --wrong-start N      reply to the N-th frame with its first start byte XOR 0x55\n"
        "  --silent-from N      no reply to the N-th frame or any after it\n"
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
        "  --summary FILE       at exit, what the line carried, one \"name value...\" line each:\n"
        "                       bytes-in, bytes-out, device-us (the unit's own time, with\n"
        "                       --line-timing), turnaround-us (for each reply, its last byte\n"
        "                       out to the next byte in), late-us (how much later than due\n"
        "                       each reply's last byte left, the instrument's own lag)\n"
        "  --exit-after-finish  exit once FinishUpdate has arrived\n"
        "  --exit-on-close      exit when the other side closes the line after traffic\n"
        "  --verbose            report what happens on standard error\n"
        "  --help               this text\n"
        "Ends on SIGINT and SIGTERM, writing the records and removing the port link.\n",
        appinfo::kDefaultBaudRate, appinfo::kBaudRatesText, Identity{}.newVersion.c_str());
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

int frameNumber(const char *text, const char *option) {
    return number(text, option, 1, INT_MAX);
}

// Each option and what it does to the options; the value is null for those without one.
struct OptionEntry {
    const char *name;
    bool hasValue;
    void (*apply)(Options &o, const char *value);
};

const OptionEntry kOptions[] = {
    {"com", true, [](Options &o, const char *v) { o.com = number(v, "--com", 1, 9999); }},
    {"device", true, [](Options &o, const char *v) { o.device = v; }},
    {"baud", true,
     [](Options &o, const char *v) {
         o.baud = number(v, "--baud", 300, 115200);
         if (!speedFor(o.baud))
             usageError(std::string("--baud wants a standard rate such as ") +
                        appinfo::kBaudRatesText);
     }},
    {"line-timing", false, [](Options &o, const char *) { o.lineTiming = true; }},
    {"t-erase", true, [](Options &o, const char *v) { o.times.erase = millis(v, "--t-erase"); }},
    {"t-write", true, [](Options &o, const char *v) { o.times.write = millis(v, "--t-write"); }},
    {"t-blank", true,
     [](Options &o, const char *v) { o.times.blankCheck = millis(v, "--t-blank"); }},
    {"t-verify", true, [](Options &o, const char *v) { o.times.verify = millis(v, "--t-verify"); }},
    {"t-defaults", true,
     [](Options &o, const char *v) { o.times.defaults = millis(v, "--t-defaults"); }},
    {"mode", true,
     [](Options &o, const char *v) {
         if (std::strcmp(v, "bootloader") == 0)
             o.mode = Unit::Mode::Bootloader;
         else if (std::strcmp(v, "application") == 0)
             o.mode = Unit::Mode::Application;
         else
             usageError("--mode is bootloader or application");
     }},
    {"id", true, [](Options &o, const char *v) { o.identity.id = fourChars(v, "--id"); }},
    {"version", true,
     [](Options &o, const char *v) { o.identity.version = fourChars(v, "--version"); }},
    {"new-version", true,
     [](Options &o, const char *v) { o.identity.newVersion = fourChars(v, "--new-version"); }},
    {"no-firmware", false, [](Options &o, const char *) { o.identity.noFirmware = true; }},
    {"drop-reply", true,
     [](Options &o, const char *v) { o.faults.dropReply.insert(frameNumber(v, "--drop-reply")); }},
    {"garble-reply", true,
     [](Options &o, const char *v) {
         o.faults.garbleReply.insert(frameNumber(v, "--garble-reply"));
     }},
    {"short-reply", true,
     [](Options &o, const char *v) {
         o.faults.shortReply.insert(frameNumber(v, "--short-reply"));
     }},
    {"stray-bytes", true,
     [](Options &o, const char *v) {
         o.faults.strayBytes.insert(frameNumber(v, "--stray-bytes"));
     }},
    {"repeat-reply", true,
     [](Options &o, const char *v) {
         o.faults.repeatReply.insert(frameNumber(v, "--repeat-reply"));
     }},
    {"hang-up", true,
     [](Options &o, const char *v) { o.faults.hangUp.insert(frameNumber(v, "--hang-up")); }},
    {"split-reply", true,
     [](Options &o, const char *v) {
         o.faults.splitReply.insert(frameNumber(v, "--split-reply"));
     }},
    {"late-reply", true,
     [](Options &o, const char *v) {
         const std::string text = v;
         const std::size_t colon = text.find(':');
         LateReply late{kLateReply, false};
         if (colon != std::string::npos) {
             late.by = std::chrono::duration_cast<std::chrono::milliseconds>(
                 millis(text.substr(colon + 1).c_str(), "--late-reply"));
             late.held = true;
         }
         o.faults.lateReply[frameNumber(text.substr(0, colon).c_str(), "--late-reply")] = late;
     }},
    {"flood-reply", true,
     [](Options &o, const char *v) {
         o.faults.floodReply.insert(frameNumber(v, "--flood-reply"));
     }},
    {"oversize-reply", true,
     [](Options &o, const char *v) {
         o.faults.oversizeReply.insert(frameNumber(v, "--oversize-reply"));
     }},
    {"wrong-reply", true,
     [](Options &o, const char *v) {
         o.faults.wrongReply.insert(frameNumber(v, "--wrong-reply"));
     }},
    {"wrong-start", true,
     [](Options &o, const char *v) {
         o.faults.wrongStart.insert(frameNumber(v, "--wrong-start"));
     }},
    {"silent-from", true,
     [](Options &o, const char *v) { o.faults.silentFrom = frameNumber(v, "--silent-from"); }},
    {"fail-blank-check", false, [](Options &o, const char *) { o.faults.failBlankCheck = true; }},
    {"fail-verify", false, [](Options &o, const char *) { o.faults.failVerify = true; }},
    {"no-echo", false, [](Options &o, const char *) { o.faults.noEcho = true; }},
    {"reply-delay", true,
     [](Options &o, const char *v) { o.faults.replyDelay = millis(v, "--reply-delay"); }},
    {"transcript", true, [](Options &o, const char *v) { o.transcript = v; }},
    {"dump", true, [](Options &o, const char *v) { o.dump = v; }},
    {"summary", true, [](Options &o, const char *v) { o.summary = v; }},
    {"exit-after-finish", false, [](Options &o, const char *) { o.exitAfterFinish = true; }},
    {"exit-on-close", false, [](Options &o, const char *) { o.exitOnClose = true; }},
    {"verbose", false, [](Options &o, const char *) { o.verbose = true; }},
    {"help", false,
     [](Options &, const char *) {
         printHelp();
         std::exit(0);
     }},
};

} // namespace

Options parseOptions(int argc, char **argv) {
    constexpr std::size_t n = std::size(kOptions);
    // getopt_long returns the index into kOptions, offset past every character option.
    constexpr int kFirst = 256;
    option longOptions[n + 1] = {};
    for (std::size_t i = 0; i < n; ++i)
        longOptions[i] = {kOptions[i].name, kOptions[i].hasValue ? required_argument : no_argument,
                          nullptr, kFirst + int(i)};

    Options o;
    opterr = 0;
    int c;
    // The leading ':' makes a missing value ':' rather than '?', which means unknown.
    while ((c = getopt_long(argc, argv, ":", longOptions, nullptr)) != -1) {
        const char *name = (optind > 0 && optind <= argc) ? argv[optind - 1] : "option";
        if (c == ':')
            usageError(std::string(name) + " needs a value");
        if (c < kFirst || c >= kFirst + int(n))
            usageError(std::string("unknown option ") + name);
        kOptions[c - kFirst].apply(o, optarg);
    }
    if (optind < argc)
        usageError(std::string("unexpected argument \"") + argv[optind] + "\"");
    if (o.com && !o.device.empty())
        usageError("--com links a pseudo-terminal; it cannot be used with --device");
    return o;
}

} // namespace sim
