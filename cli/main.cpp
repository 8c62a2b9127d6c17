// zarvo-flash: the firmware update from the command line, for scripts and fleets.
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <cstdio>

#include "appinfo.h"
#include "flash.h"
#include "options.h"
#include "ports.h"
#include "quitsignals.h"
#include "showntext.h"
#include "status.h"

int main(int argc, char *argv[]) {
    // A reader that goes away (`| head`) must not end an update half way and leave the
    // instrument erased: what cannot be printed is dropped, and the update runs to its end.
    QuitSignals::keepOnBrokenPipe();
    QCoreApplication app(argc, argv);
    // Qt holds arguments as text, and bytes that are not UTF-8 do not come back out of it:
    // such a device path would be looked for under another name and reported missing.
    for (int i = 1; i < argc; ++i) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8(QByteArrayView(argv[i]));
        if (utf8.hasError()) {
            std::fprintf(stderr,
                         "zarvo-flash: '%s' is not valid UTF-8; reach the device through a "
                         "link with a plain name (ln -s DEVICE NAME) or by its port number\n",
                         qPrintable(serial::shownText(text, serial::kShownPathLength)));
            return cli::kStatusUsage;
        }
    }
    const cli::Parsed parsed = cli::parseArguments(app.arguments());
    if (!parsed.options) {
        // The reason quotes what was given, which may hold anything.
        std::fprintf(stderr, "zarvo-flash: %s (zarvo-flash --help lists the options)\n",
                     qPrintable(serial::shownText(parsed.error, 2 * serial::kShownPathLength)));
        return cli::kStatusUsage;
    }
    const cli::Options &o = *parsed.options;
    // The log a support request wants, without knowing Qt's logging rules: frames out and
    // replies in as hex, the port's events, the phases.
    if (o.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("zarvo.*=true"));
    switch (o.command) {
    case cli::Command::Help:
        std::fputs(qPrintable(cli::helpText()), stdout);
        return 0;
    case cli::Command::Version:
        std::printf("zarvo-flash %d.%02d (installs ZARVO firmware %s)\n", appinfo::kVersionMajor,
                    appinfo::kVersionMinor, appinfo::kVersionDigits);
        return 0;
    case cli::Command::ListPorts:
        return cli::listPorts(o.json, o.probe);
    case cli::Command::Map:
        return cli::mapPort(o.port, o.device, o.json);
    case cli::Command::Unmap:
        return cli::unmapPort(o.port, o.json);
    case cli::Command::Update:
        break;
    }
    return cli::runUpdate(o);
}
