// zarvo-flash: the firmware update from the command line, for scripts and fleets.
#include <QCoreApplication>
#include <csignal>
#include <cstdio>

#include "appinfo.h"
#include "flash.h"
#include "options.h"
#include "ports.h"
#include "status.h"

int main(int argc, char *argv[]) {
    // A reader that goes away (`| head`) must not end an update half way and leave the
    // instrument erased: what cannot be printed is dropped, and the update runs to its end.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const cli::Parsed parsed = cli::parseArguments(app.arguments());
    if (!parsed.options) {
        std::fprintf(stderr, "zarvo-flash: %s (zarvo-flash --help lists the options)\n",
                     qPrintable(parsed.error));
        return cli::kStatusUsage;
    }
    const cli::Options &o = *parsed.options;
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
