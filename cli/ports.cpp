#include "ports.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSet>
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "appinfo.h"
#include "line.h"
#include "portaddress.h"
#include "portnames.h"
#include "portnumbers.h"
#include "showntext.h"
#include "status.h"

namespace cli {

namespace {

// 1 to kPortsAlwaysListed, and every higher comN the port directory holds.
QList<int> listedPorts() {
    QSet<int> numbers;
    for (int port = 1; port <= serial::kPortsAlwaysListed; ++port)
        numbers.insert(port);
    static const QRegularExpression name(QStringLiteral("\\Acom([1-9][0-9]{0,4})\\z"));
    const QDir dir(serial::portDirectory());
    for (const QString &entry :
         dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = name.match(entry);
        // A number no port can have (the tool's are 16-bit) is nobody's entry.
        if (const int port = match.captured(1).toInt();
            match.hasMatch() && port <= serial::kHighestPort)
            numbers.insert(port);
    }
    QList<int> sorted(numbers.begin(), numbers.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

struct PortRow {
    int port;
    QString path;    // what the number opens: the port directory's entry, /dev/ttySn or COMn
    QString target;  // the entry's link target, as written
    QString device;  // the device at the end of it, empty when there is none
    QString problem; // why the number reaches no device although something is there
    QString address; // a remote serial port the entry names instead of a device
    QString unanswered; // --probe: why the remote port did not answer; empty when it did
};

// A serial device the system lists, with the adapter's own words from its USB descriptors.
struct DeviceRow {
    QString device;
    QString byId; // its stable name, when it has one
    QString description;
    QString manufacturer;
    QString usb; // "vendor:product", in hex
    QString serialNumber;
    QList<int> ports; // the COM numbers that reach it
};

struct Listing {
    bool probed = false;
    QList<PortRow> ports;
    QList<DeviceRow> devices;
};

// `available`: the serial ports the system lists, which decide where there is no port
// directory (COMn is then the port itself).
PortRow portRow(int port, const QSet<QString> &available) {
    const serial::PortTarget target = serial::resolvePort(port);
    PortRow row{port, target.entry, target.linkText, {}, target.problem, target.address, {}};
    if (!row.address.isEmpty() || !row.problem.isEmpty())
        return row;
    if (!serial::hasPortDirectory()) {
        if (available.contains(target.device))
            row.device = target.device;
    } else if (target.characterDevice) {
        row.device = target.device;
    } else if (!target.device.isEmpty()) {
        row.problem = QStringLiteral("not a device");
    }
    return row;
}

// A name from the file system shown on a line of its own: nothing in it may break the line.
QString shownPath(const QString &path) {
    return serial::shownText(path, serial::kShownPathLength);
}

// Whether a remote serial port answers: it is connected to and, for rfc2217://, set up
// as an update would set it up, then left at once. Empty when it answered, else why not.
QString probe(const QString &address) {
    const std::unique_ptr<serial::Line> line = serial::makeLine(serial::parsePortAddress(address));
    if (!line->open({appinfo::kDefaultBaudRate, serial::LineSettings::Flow::None, true, true}))
        return line->failure().reason;
    line->close();
    return {};
}

void print(const QString &text) {
    std::printf("%s\n", qPrintable(text));
}

int refuse(const QString &why) {
    std::fprintf(stderr, "zarvo-flash: %s\n", qPrintable(why));
    return kStatusError;
}

void printJson(const QJsonObject &object) {
    print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

// What a listing shows, gathered as values before the text or the JSON form prints it; the
// probes' connections are made here.
Listing collectPorts(bool probing) {
    Listing listing;
    listing.probed = probing;
    const QList<QSerialPortInfo> devices = QSerialPortInfo::availablePorts();
    QSet<QString> available;
    for (const QSerialPortInfo &info : devices)
        available << info.portName() << info.systemLocation();
    for (int port : listedPorts()) {
        PortRow row = portRow(port, available);
        if (probing && !row.address.isEmpty())
            row.unanswered = probe(row.address);
        listing.ports << row;
    }
    for (const QSerialPortInfo &info : devices) {
        DeviceRow row;
        row.device = info.systemLocation();
        row.byId = serial::stableName(row.device);
        row.description = info.description();
        row.manufacturer = info.manufacturer();
        row.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            row.usb = QStringLiteral("%1:%2")
                          .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                          .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        const QString canonical = QFileInfo(row.device).canonicalFilePath();
        for (const PortRow &port : listing.ports)
            if (!canonical.isEmpty() && port.device == canonical)
                row.ports << port.port;
        listing.devices << row;
    }
    return listing;
}

void printListingJson(const Listing &listing) {
    QJsonArray ports;
    for (const PortRow &row : listing.ports) {
        QJsonObject o{{QStringLiteral("port"), row.port}, {QStringLiteral("path"), row.path}};
        if (!row.address.isEmpty()) {
            o.insert(QStringLiteral("address"), row.address);
            if (listing.probed)
                o.insert(QStringLiteral("answers"), row.unanswered.isEmpty());
            if (!row.unanswered.isEmpty())
                o.insert(QStringLiteral("reason"), row.unanswered);
        } else {
            o.insert(QStringLiteral("present"), !row.device.isEmpty());
        }
        if (!row.target.isEmpty())
            o.insert(QStringLiteral("target"), row.target);
        if (!row.device.isEmpty())
            o.insert(QStringLiteral("device"), row.device);
        if (!row.problem.isEmpty())
            o.insert(QStringLiteral("problem"), row.problem);
        ports << o;
    }
    QJsonArray devices;
    for (const DeviceRow &row : listing.devices) {
        QJsonArray reaching;
        for (int port : row.ports)
            reaching << port;
        devices << QJsonObject{{QStringLiteral("device"), row.device},
                               {QStringLiteral("byId"), row.byId},
                               {QStringLiteral("description"), row.description},
                               {QStringLiteral("manufacturer"), row.manufacturer},
                               {QStringLiteral("usb"), row.usb},
                               {QStringLiteral("serialNumber"), row.serialNumber},
                               {QStringLiteral("ports"), reaching}};
    }
    printJson({{QStringLiteral("ports"), ports}, {QStringLiteral("devices"), devices}});
}

void printListingText(const Listing &listing) {
    print(serial::hasPortDirectory() ? QStringLiteral("COM numbers (port directory %1):")
                                           .arg(shownPath(serial::portDirectory()))
                                     : QStringLiteral("COM numbers:"));
    const auto whereOf = [](const PortRow &row) {
        QString where = shownPath(row.path);
        if (!row.target.isEmpty())
            where += QStringLiteral(" -> ") + shownPath(row.target);
        if (!row.device.isEmpty() && row.device != row.path && row.device != row.target)
            where += QStringLiteral(" (") + shownPath(row.device) + QLatin1Char(')');
        return where;
    };
    // The columns as wide as their widest row, so that COM10 and up line up with COM1.
    qsizetype numberWidth = 0, whereWidth = 0;
    for (const PortRow &row : listing.ports) {
        numberWidth = std::max(numberWidth, QString::number(row.port).size());
        whereWidth = std::max(whereWidth, whereOf(row).size());
    }
    for (const PortRow &row : listing.ports) {
        QString state = !row.device.isEmpty()   ? QStringLiteral("present")
                        : row.problem.isEmpty() ? QStringLiteral("missing")
                                                : row.problem;
        if (!row.address.isEmpty())
            state = !listing.probed ? QStringLiteral("remote (--probe tries it)")
                    : row.unanswered.isEmpty()
                        ? QStringLiteral("answers")
                        : QStringLiteral("does not answer: ") + shownPath(row.unanswered);
        print(QStringLiteral("  COM%1  %2  %3")
                  .arg(row.port, -int(numberWidth))
                  .arg(whereOf(row), -int(whereWidth))
                  .arg(state));
    }

    print(listing.devices.isEmpty() ? QStringLiteral("No serial devices found.")
                                    : QStringLiteral("Serial devices:"));
    for (const DeviceRow &row : listing.devices) {
        QStringList coms;
        for (int port : row.ports)
            coms << QStringLiteral("COM%1").arg(port);
        print(QStringLiteral("  %1  %2")
                  .arg(shownPath(row.device), coms.isEmpty() ? QStringLiteral("no COM number")
                                                             : coms.join(QStringLiteral(", "))));
        if (!row.byId.isEmpty())
            print(QStringLiteral("      %1").arg(shownPath(row.byId)));
        QStringList facts;
        for (const QString &fact : {row.description, row.manufacturer, row.usb})
            if (!fact.isEmpty())
                facts << serial::shownText(fact);
        if (!row.serialNumber.isEmpty())
            facts << QStringLiteral("serial number ") + serial::shownText(row.serialNumber);
        if (!facts.isEmpty())
            print(QStringLiteral("      ") + facts.join(QStringLiteral(", ")));
    }
}

} // namespace

int listPorts(bool json, bool probing) {
    const Listing listing = collectPorts(probing);
    if (json)
        printListingJson(listing);
    else
        printListingText(listing);
    return 0;
}

// Where there is no port directory a number is the port itself, and nothing can be mapped.
int noPortDirectory(int port) {
    return refuse(QStringLiteral("there is no port directory here: COM%1 is the port itself, "
                                 "and --list-ports shows the ports there are")
                      .arg(port));
}

int mapPort(int port, const QString &device, bool json) {
    if (!serial::hasPortDirectory())
        return noPortDirectory(port);
    // A remote serial port's address is the link's text itself: the port directory stays a
    // directory of links, and a program that takes the entry for a path finds nothing there.
    // An entry that leads to one (another number's comN) gives its address, as --port reads it.
    const serial::PortAddress address = serial::portAddressOf(device);
    const bool remote = address.isNetwork();
    if (const QString why = remote ? address.error : serial::notATerminal(device); !why.isEmpty())
        return refuse(why);
    const QString entry = serial::portEntry(port);
    const QFileInfo existing(entry);
    if (existing.exists() && !existing.isSymLink())
        return refuse(
            QStringLiteral("%1 exists and is not a link; remove it first").arg(shownPath(entry)));

    // The by-id name survives re-plugging; a name under it given by the user is kept as is.
    QString target = remote ? address.text() : QFileInfo(device).absoluteFilePath();
    if (!remote && !target.startsWith(serial::kByIdDirectory + QLatin1Char('/')))
        if (const QString stable = serial::stableName(device); !stable.isEmpty())
            target = stable;
    // A link through a directory others may write to leads to whatever they put there.
    if (const QString why = remote ? QString() : serial::distrustTarget(target); !why.isEmpty())
        return refuse(why);

    namespace fs = std::filesystem;
    std::error_code error;
    if (QString why; !serial::makePortDirectory(&why))
        return refuse(why);
    // A link in a directory that others may change would be refused when used.
    if (const QString why = serial::distrustPortEntry(serial::portDirectory()); !why.isEmpty())
        return refuse(why);

    // Made beside the entry and renamed over it, so the number never leads nowhere.
    const fs::path final(QFile::encodeName(entry).toStdString());
    const fs::path temporary(final.string() + ".new");
    fs::remove(temporary, error);
    if (error)
        return refuse(QStringLiteral("%1 is in the way (%2); remove it first")
                          .arg(shownPath(entry + QStringLiteral(".new")),
                               QString::fromLocal8Bit(error.message().c_str())));
    // What the number led to before, so that replacing a mapping never goes unsaid.
    std::error_code none;
    const fs::path old = fs::read_symlink(final, none);
    const QString replaced = none ? QString() : QFile::decodeName(QByteArray::fromStdString(old.string()));
    fs::create_symlink(fs::path(QFile::encodeName(target).toStdString()), temporary, error);
    if (!error)
        fs::rename(temporary, final, error);
    if (error) {
        // The clean-up's own result must not replace the reason the link was not made.
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return refuse(QStringLiteral("cannot link %1: %2")
                          .arg(shownPath(entry), QString::fromLocal8Bit(error.message().c_str())));
    }
    if (json) {
        QJsonObject done{{QStringLiteral("port"), port},
                         {QStringLiteral("path"), entry},
                         {QStringLiteral("target"), target}};
        if (!replaced.isEmpty())
            done.insert(QStringLiteral("replaced"), replaced);
        printJson(done);
    } else {
        print(QStringLiteral("COM%1: %2 -> %3").arg(port).arg(shownPath(entry), shownPath(target)) +
              (replaced.isEmpty() ? QString()
                                  : QStringLiteral(" (it led to %1 before)").arg(shownPath(replaced))));
    }
    return 0;
}

int unmapPort(int port, bool json) {
    if (!serial::hasPortDirectory())
        return noPortDirectory(port);
    const QString entry = serial::portEntry(port);
    const QFileInfo info(entry);
    if (!info.isSymLink()) {
        if (info.exists())
            return refuse(QStringLiteral("%1 is not a link; left alone").arg(shownPath(entry)));
        // Nothing to undo is not a failure: the number already leads where unmapping leads it.
        if (json)
            printJson({{QStringLiteral("port"), port},
                       {QStringLiteral("removed"), QJsonValue::Null},
                       {QStringLiteral("device"), serial::devicePath(port)}});
        else
            print(QStringLiteral("COM%1 is not mapped (no %2); it leads to %3")
                      .arg(port)
                      .arg(shownPath(entry), shownPath(serial::devicePath(port))));
        return 0;
    }
    if (!QFile::remove(entry))
        return refuse(QStringLiteral("cannot remove %1").arg(shownPath(entry)));
    if (json)
        printJson({{QStringLiteral("port"), port}, {QStringLiteral("removed"), entry}});
    else
        print(QStringLiteral("COM%1: %2 removed; the number now leads to %3")
                  .arg(port)
                  .arg(shownPath(entry), shownPath(serial::devicePath(port))));
    return 0;
}

} // namespace cli
