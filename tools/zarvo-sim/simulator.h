// The virtual instrument as a process: the line (a pseudo-terminal, or a serial device) with
// its timing, and the loop that feeds the line to the unit and its answers back.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bootloader.h"
#include "options.h"
#include "uart.h"

namespace sim {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

class Simulator {
public:
    explicit Simulator(Options options)
        : m_o(std::move(options)), m_unit(m_o.identity, m_o.faults, m_o.mode),
          m_start(Clock::now()) {}
    ~Simulator() { shutdown(); }

    // The line, the port link and the records; false, after saying why, when any of them
    // cannot be had.
    bool openLine();
    // The instrument until it is told to end, or the line or the other side ends it.
    int run();
    // Writes the records, removes the port link and hangs up; false, after saying why, when
    // a record could not be written. Only the first call does anything.
    bool shutdown();

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
    void queueReply(const sim::Response &r, Clock::time_point at, Clock::time_point ready);
    void releaseHeldReply(Clock::time_point now);
    void record(const std::string &code, const std::string &address, const sim::Bytes &wire,
                Clock::time_point at);
    bool flushOutbox(Clock::time_point now);
    bool openTranscript();
    bool openDevice();
    bool openPseudoTerminal();
    void routeSignals();
    bool linkPort();
    std::optional<Clock::time_point> nextDue() const;
    void watchOpens();
    void onInotify();
    void hangUp();
    bool writeSummary() const;

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

    // A late reply waiting for its time and for a later frame to begin (--late-reply N:MS).
    struct HeldReply {
        sim::Response response;
        Clock::time_point at;  // its frame came in then
        Clock::time_point due; // not before then
        long long bytesIn = 0; // bytes in when it was held: more means a later frame began
    };
    std::optional<HeldReply> m_held;
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
    bool m_shutDown = false;
    std::FILE *m_transcript = nullptr;
    long m_garbled = 0;
    long m_overrun = 0; // received bytes dropped because the receive queue was full

    // What the line carried, for --summary.
    long long m_bytesIn = 0;
    long long m_bytesOut = 0;
    microseconds m_deviceTime{0};
    std::optional<Clock::time_point> m_replyEnd; // the last reply's last byte left then
    std::vector<long long> m_turnaroundsUs;
    std::vector<long long> m_latenessUs;
};

} // namespace sim
