#include "options.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <utility>

#include "appinfo.h"
#include "portaddress.h"
#include "portnumbers.h"
#include "quitsignals.h"
#include "status.h"

namespace cli {

namespace {

// "1200|2400|4800"
QString baudChoices() {
    QStringList rates;
    for (int rate : appinfo::kBaudRates)
        rates << QString::number(rate);
    return rates.join(QLatin1Char('|'));
}

QString describe(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done:
        return QStringLiteral("the firmware was replaced");
    case Outcome::Declined:
        return QStringLiteral("the installed version was kept (--keep-newer, an answer of no, "
                              "or no terminal to ask)");
    case Outcome::PortMissing:
        return QStringLiteral("no device has that port number or path");
    case Outcome::PortInUse:
        return QStringLiteral("another program holds the port");
    case Outcome::NoPermission:
        return QStringLiteral("this user may not open the port");
    case Outcome::PortUnusable:
        return QStringLiteral("the port would not open for another reason");
    case Outcome::NotBootloader:
        return QStringLiteral("something answered, but not as the bootloader does: another\n"
                              "        device on the port, or a baud rate the line does not use");
    case Outcome::CommError:
        return QStringLiteral("no reply, or the line went away; usually the meter is not in\n"
                              "        bootloader mode (a meter running its firmware does not "
                              "answer),\n        is switched off, or is on another port");
    case Outcome::ForeignDevice:
        return QStringLiteral("the instrument is not a ZARVO-415B");
    case Outcome::BlankCheckFailed:
        return QStringLiteral("the erased area did not read back blank");
    case Outcome::VerifyFailed:
        return QStringLiteral("the written image did not verify");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::None:
        break;
    }
    return {};
}

} // namespace

int portNumber(const QString &text) {
    static const QRegularExpression form(
        QStringLiteral("\\A(?:[Cc][Oo][Mm])?([0-9]{1,%1})\\z").arg(serial::kTypedPortDigits));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return 0;
    const int number = match.captured(1).toInt();
    return number >= 1 && number <= serial::kHighestTypedPort ? number : 0;
}

Parsed parseArguments(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // The options typed by hand have the short letters flashers and serial tools use.
    const auto names = [](const char *shortName, const char *longName) {
        return QStringList{QString::fromLatin1(longName), QString::fromLatin1(shortName)};
    };
    const QCommandLineOption port(names("p", "port"), {}, QStringLiteral("N|DEVICE"));
    const QCommandLineOption baud(names("b", "baud"), {}, QStringLiteral("RATE"));
    const QCommandLineOption remote(names("r", "remote"));
    const QCommandLineOption yes(names("y", "yes"));
    const QCommandLineOption keepNewer(QStringLiteral("keep-newer"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption quiet(names("q", "quiet"));
    const QCommandLineOption verbose(names("v", "verbose"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption probe(QStringLiteral("probe"));
    const QCommandLineOption map(QStringLiteral("map"), {}, QStringLiteral("N"));
    const QCommandLineOption unmap(QStringLiteral("unmap"), {}, QStringLiteral("N"));
    const QCommandLineOption help(names("h", "help"));
    const QCommandLineOption version(names("V", "version"));
    parser.addOptions({port, baud, remote, yes, keepNewer, json, quiet, verbose, listPorts, probe,
                       map, unmap, help, version});
    if (!parser.parse(arguments))
        return {{}, parser.errorText()};

    Options o;
    if (parser.isSet(help)) {
        o.command = Command::Help;
        return {o, {}};
    }
    if (parser.isSet(version)) {
        o.command = Command::Version;
        return {o, {}};
    }
    for (const QCommandLineOption *once : {&port, &baud, &map, &unmap})
        if (parser.values(*once).size() > 1)
            return {{}, QStringLiteral("--%1 given more than once").arg(once->names().first())};

    const int commands = int(parser.isSet(port)) + int(parser.isSet(listPorts)) +
                         int(parser.isSet(map)) + int(parser.isSet(unmap));
    if (commands == 0)
        return {{}, QStringLiteral("nothing to do: give --port, --list-ports, --map or --unmap")};
    if (commands > 1)
        return {{}, QStringLiteral("--port, --list-ports, --map and --unmap exclude each other")};

    o.json = parser.isSet(json);
    o.quiet = parser.isSet(quiet);
    o.verbose = parser.isSet(verbose);
    const QStringList positional = parser.positionalArguments();

    if (!parser.isSet(port)) {
        for (const QCommandLineOption *updateOnly : {&baud, &remote, &yes, &keepNewer})
            if (parser.isSet(*updateOnly))
                return {{},
                        QStringLiteral("--%1 applies only to an update (--port)")
                            .arg(updateOnly->names().first())};
    }
    if (parser.isSet(probe) && !parser.isSet(listPorts))
        return {{}, QStringLiteral("--probe applies only to --list-ports")};
    if (parser.isSet(map)) {
        if (positional.size() != 1)
            return {{}, QStringLiteral("--map needs a port number and a device: --map N DEVICE")};
        o.command = Command::Map;
        o.port = portNumber(parser.value(map));
        o.device = positional.first();
        if (const QString error = serial::parsePortAddress(o.device).error; !error.isEmpty())
            return {{}, error};
    } else if (!positional.isEmpty()) {
        return {{}, QStringLiteral("unexpected argument '%1'").arg(positional.first())};
    }
    if (parser.isSet(unmap)) {
        o.command = Command::Unmap;
        o.port = portNumber(parser.value(unmap));
    }
    if ((o.command == Command::Map || o.command == Command::Unmap) && o.port == 0)
        return {{},
                QStringLiteral("port number '%1' is not from 1 to %2")
                    .arg(parser.value(o.command == Command::Map ? map : unmap))
                    .arg(serial::kHighestTypedPort)};
    if (parser.isSet(listPorts)) {
        o.command = Command::ListPorts;
        o.probe = parser.isSet(probe);
        return {o, {}};
    }
    if (!parser.isSet(port))
        return {o, {}};

    o.command = Command::Update;
    const QString target = parser.value(port);
    const serial::PortAddress address = serial::parsePortAddress(target);
    // A mistake in an address is told at once; no connection is tried for it.
    if (!address.valid())
        return {{}, address.error};
    if (address.isNetwork() || target.contains(QLatin1Char('/'))) {
        o.device = target;
    } else {
        o.port = portNumber(target);
        if (o.port == 0)
            return {{},
                    QStringLiteral("--port '%1' is neither a port number from 1 to %2 nor a "
                                   "device path")
                        .arg(target)
                        .arg(serial::kHighestTypedPort)};
    }
    if (parser.isSet(baud)) {
        o.baud = parser.value(baud);
        if (!baudChoices().split(QLatin1Char('|')).contains(o.baud))
            return {{},
                    QStringLiteral("--baud %1: the instrument uses %2")
                        .arg(o.baud, QString::fromLatin1(appinfo::kBaudRatesText))};
    }
    o.remote = parser.isSet(remote);
    if (parser.isSet(yes) && parser.isSet(keepNewer))
        return {{}, QStringLiteral("--yes and --keep-newer exclude each other")};
    o.replace = parser.isSet(yes)         ? Replace::Yes
                : parser.isSet(keepNewer) ? Replace::No
                                          : Replace::Ask;
    return {o, {}};
}

QString helpText() {
    QString text =
        QStringLiteral(
            "Usage: zarvo-flash -p|--port N|DEVICE|ADDRESS [-b|--baud %1] [-r|--remote]\n"
            "                   [-y|--yes | --keep-newer] [--json] [-q|--quiet] [-v|--verbose]\n"
            "       zarvo-flash --list-ports [--probe] [--json]\n"
            "       zarvo-flash --map N DEVICE|ADDRESS\n"
            "       zarvo-flash --unmap N\n"
            "Replaces the firmware of a ZARVO-415B, ZARVO-417 or ZARVO-452 meter through its\n"
            "bootloader, as the window does, without a display.\n"
            "\n"
            "  -p, --port N|DEVICE|ADDRESS\n"
            "                   the instrument's port: a COM number from 1 to %5 (\"5\" or "
            "\"COM5\",\n"
            "                   found as the window finds it), a device path, or a remote\n"
            "                   serial port: rfc2217://HOST:PORT (Telnet with serial port\n"
            "                   control, such as ser2net's telnet(rfc2217)) or tcp://HOST:PORT\n"
            "                   (raw bytes: the far line keeps the speed its server set)\n"
            "  -b, --baud RATE  the bootloader's speed: %2 (default %3)\n"
            "  -r, --remote     start the bootloader over the line first (Remote Program)\n"
            "  -y, --yes        replace a firmware version that is not older than this one\n"
            "  --keep-newer     keep such a version (the update ends as declined)\n"
            "                   Without either, the question is asked on a terminal ([y/N]);\n"
            "                   without a terminal the version is kept.\n"
            "  --json           one JSON object per line for each event: open, identified,\n"
            "                   phase, progress, result (and --list-ports as data)\n"
            "  -q, --quiet      print nothing but failures\n"
            "  -v, --verbose    log to standard error what goes over the line (every frame out\n"
            "                   and reply in, as hex), the port's events and the phases: for a\n"
            "                   support request\n"
            "  --list-ports     which device each COM number leads to, and every serial device\n"
            "                   with the COM number that reaches it\n"
            "  --probe          with --list-ports: connect to each remote port to see whether\n"
            "                   it answers\n"
            "  --map N DEVICE   make COM number N lead to DEVICE (a terminal device; its\n"
            "                   /dev/serial/by-id/ name is used where it has one) or to a\n"
            "                   remote serial port ADDRESS, as --port takes it\n"
            "  --unmap N        remove COM number N's link (one not mapped is left as it is)\n"
            "  -h, --help       this text\n"
            "  -V, --version    the firmware version this program installs\n"
            "\n"
            "%4"
            "\n"
            "Exit status:\n")
            .arg(baudChoices(), QString::fromLatin1(appinfo::kBaudRatesText))
            .arg(appinfo::kDefaultBaudRate)
            .arg(QString::fromLatin1(QuitSignals::helpText()))
            .arg(serial::kHighestTypedPort);
    for (const StatusRow &row : kStatusTable) {
        if (row.outcome == Outcome::Cancelled) {
            // Ended by the signal: the status a shell shows for it.
            for (const auto &[signal, what] : QuitSignals::requests())
                text += QStringLiteral("  %1  %2\n")
                            .arg(kStatusSignal + signal)
                            .arg(QString::fromLatin1(what));
            continue;
        }
        text += QStringLiteral("  %1  %2\n").arg(row.status, 3).arg(describe(row.outcome));
        if (row.outcome == Outcome::CommError)
            text += QStringLiteral(
                "       Does the meter's display read \"BOOTLOADER READY...\"? If its firmware\n"
                "       is running instead, add --remote; if it does, check the baud rate.\n");
        if (row.outcome == Outcome::Done) {
            text += QStringLiteral("  %1  a port list, map or unmap could not be done\n")
                        .arg(kStatusError, 3);
            text += QStringLiteral("  %1  bad arguments\n").arg(kStatusUsage, 3);
        }
    }
    return text;
}

} // namespace cli
