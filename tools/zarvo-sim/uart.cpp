#include "uart.h"

#include <cmath>

namespace sim {

namespace {

struct Rate {
    int baud;
    speed_t speed;
};

constexpr Rate kRates[] = {{300, B300},     {600, B600},      {1200, B1200},   {2400, B2400},
                           {4800, B4800},   {9600, B9600},    {19200, B19200}, {38400, B38400},
                           {57600, B57600}, {115200, B115200}};

// The sender's bits, one per bit cell: start, data LSB first, parity, stop bits.
std::vector<bool> waveform(const std::vector<std::uint8_t> &bytes, const LineFormat &f) {
    std::vector<bool> bits;
    for (std::uint8_t b : bytes) {
        bits.push_back(false);
        int ones = 0;
        for (int i = 0; i < f.dataBits; ++i) {
            const bool bit = (b >> i) & 1;
            ones += bit;
            bits.push_back(bit);
        }
        if (f.parity == 'E')
            bits.push_back(ones % 2 != 0);
        else if (f.parity == 'O')
            bits.push_back(ones % 2 == 0);
        for (int i = 0; i < f.stopBits; ++i)
            bits.push_back(true);
    }
    return bits;
}

} // namespace

std::string LineFormat::text() const {
    return std::to_string(baud) + "," + parity + "," + std::to_string(dataBits) + "," +
           std::to_string(stopBits);
}

speed_t speedFor(int baud) {
    for (const Rate &r : kRates) {
        if (r.baud == baud)
            return r.speed;
    }
    return 0;
}

int baudOf(speed_t speed) {
    for (const Rate &r : kRates) {
        if (r.speed == speed)
            return r.baud;
    }
    return 0;
}

LineFormat formatOf(const termios &tio) {
    LineFormat f;
    f.baud = baudOf(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        f.dataBits = 5;
        break;
    case CS6:
        f.dataBits = 6;
        break;
    case CS7:
        f.dataBits = 7;
        break;
    default:
        f.dataBits = 8;
        break;
    }
    f.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    f.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    return f;
}

void applyFormat(termios &tio, const LineFormat &f) {
    cfsetispeed(&tio, speedFor(f.baud));
    cfsetospeed(&tio, speedFor(f.baud));
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= (f.dataBits == 5 ? CS5 : f.dataBits == 6 ? CS6 : f.dataBits == 7 ? CS7 : CS8);
    if (f.parity != 'N')
        tio.c_cflag |= PARENB | (f.parity == 'O' ? PARODD : 0);
    if (f.stopBits == 2)
        tio.c_cflag |= CSTOPB;
}

Reception receive(const std::vector<std::uint8_t> &sent, const LineFormat &sender,
                  const LineFormat &receiver) {
    Reception out;
    if (sender == receiver) {
        out.bytes = sent;
        return out;
    }
    const std::vector<bool> bits = waveform(sent, sender);
    if (sender.baud <= 0 || receiver.baud <= 0) // a rate nobody can sample: all noise
        return out;
    // Time in units of the sender's bit cell; the line idles high before and after.
    const double cell = double(sender.baud) / double(receiver.baud);
    const double end = double(bits.size());
    auto level = [&](double t) {
        if (t < 0 || t >= end)
            return true;
        return bool(bits[std::size_t(t)]);
    };
    const int width = receiver.dataBits + (receiver.parity != 'N' ? 1 : 0);
    double t = 0;
    while (t < end) {
        // The receiver starts a character at the first low level it meets.
        double start = t;
        if (level(start)) {
            std::size_t k = std::size_t(std::ceil(start));
            while (k < bits.size() && bits[k])
                ++k;
            if (k >= bits.size())
                break;
            start = double(k);
        }
        if (level(start + cell / 2)) { // too short to be a start bit
            t = start + cell / 2;
            continue;
        }
        std::uint8_t value = 0;
        for (int i = 0; i < receiver.dataBits; ++i) {
            if (level(start + cell * (1.5 + i)))
                value |= std::uint8_t(1u << i);
        }
        const double stopAt = start + cell * (1.5 + width);
        if (level(stopAt))
            out.bytes.push_back(value);
        else
            ++out.framingErrors;
        t = stopAt;
    }
    return out;
}

} // namespace sim
