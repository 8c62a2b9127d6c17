// zarvo-flash's command line, read into what to do; every mistake is one line of text.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "appinfo.h"

namespace cli {

enum class Command { Help, Version, Update, ListPorts, Map, Unmap };
enum class Replace { Ask, Yes, No };

struct Options {
    Command command = Command::Update;
    int port = 0;   // 1 to serial::kHighestTypedPort; 0 when a device path was given
    QString device; // --port DEVICE, or --map's DEVICE (either may be a network address)
    QString baud = QString::number(appinfo::kDefaultBaudRate); // the one --help names
    bool remote = false;
    Replace replace = Replace::Ask;
    bool json = false;
    bool quiet = false;
    bool verbose = false; // the zarvo.* log on standard error
    bool probe = false;   // --list-ports: try each network port
};

struct Parsed {
    std::optional<Options> options;
    QString error; // set when options is not
};

// `arguments` includes the program name first, as QCoreApplication::arguments() gives it.
Parsed parseArguments(const QStringList &arguments);

// "5", "COM5" or "com5" to 5; 0 for anything that is not a number from 1 to
// serial::kHighestTypedPort.
int portNumber(const QString &text);

QString helpText();

} // namespace cli
