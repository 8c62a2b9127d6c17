// The Telnet client on anything a server may send: the data it hands on does not depend on
// how TCP split the stream, its answers stay in proportion to what came in, and data the
// tool escapes comes through unchanged once the server's bytes have been taken.
#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "telnet.h"

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1)
        return 0;
    // The first byte says where TCP split the rest.
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype cut = stream.isEmpty() ? 0 : data[0] % (stream.size() + 1);

    serial::telnet::Client whole;
    whole.start(true);
    const QByteArray dataWhole = whole.feed(stream);
    const QByteArray answersWhole = whole.takeAnswers();

    serial::telnet::Client split;
    split.start(true);
    const QByteArray dataSplit = split.feed(stream.left(cut)) + split.feed(stream.mid(cut));
    require(dataSplit == dataWhole);
    require(split.takeAnswers() == answersWhole);
    require(dataWhole.size() <= stream.size());
    // An answer is owed at most once for each three bytes of a negotiation.
    require(answersWhole.size() <= stream.size() + 3);

    // Whatever state the stream left the client in, outside a command or subnegotiation
    // the tool's own data read back through it is itself.
    serial::telnet::Client fresh;
    fresh.start(true);
    require(fresh.feed(serial::telnet::escape(stream)) == stream);
    return 0;
}
