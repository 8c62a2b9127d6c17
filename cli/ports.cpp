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
#include "netaddress.h"
#include "portnames.h"
#include "showntext.h"
#include "status.h"

namespace cli {

namespace {

// The ports every listing shows, mapped or not, as the window's list offers up to COM8
// and a typed number reaches further.
constexpr int kListedPorts = 16;
// The highest number a port can have: the tool keeps it in 16 bits.
constexpr int kHighestPort = 32767;

QString entryPath(int port) {
    return serial::portDirectory() + QStringLiteral("/com%1").arg(port);
}

// 1 to kListedPorts, and every higher comN the port directory holds.
QList<int> listedPorts() {
    QSet<int> numbers;
    for (int port = 1; port <= kListedPorts; ++port)
        numbers.insert(port);
    static const QRegularExpression name(QStringLiteral("\\Acom([1-9][0-9]{0,4})\\z"));
    const QDir dir(serial::portDirectory());
    for (const QString &entry :
         dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = name.match(entry);
        // A number no port can have (the tool's are 16-bit) is nobody's entry.
        if (const int port = match.captured(1).toInt(); match.hasMatch() && port <= kHighestPort)
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
};

// `available`: the serial ports the system lists, which decide where there is no port
// directory (COMn is then the port itself).
PortRow portRow(int port, const QSet<QString> &available) {
    const serial::PortTarget target = serial::resolvePort(port);
    PortRow row{port, target.entry, target.linkText, {}, target.problem, target.address};
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
    const std::unique_ptr<serial::Line> line = serial::makeLine(address);
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

} // namespace

int listPorts(bool json, bool probing) {
    const QList<int> numbers = listedPorts();
    const QList<QSerialPortInfo> devices = QSerialPortInfo::availablePorts();
    QSet<QString> available;
    for (const QSerialPortInfo &info : devices)
        available << info.portName() << info.systemLocation();
    QList<PortRow> rows;
    for (int port : numbers)
        rows << portRow(port, available);

    QJsonArray portsJson;
    if (!json)
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
    for (const PortRow &row : rows) {
        numberWidth = std::max(numberWidth, QString::number(row.port).size());
        whereWidth = std::max(whereWidth, whereOf(row).size());
    }
    for (const PortRow &row : rows) {
        const bool present = !row.device.isEmpty();
        const bool remote = !row.address.isEmpty();
        const QString unanswered = remote && probing ? probe(row.address) : QString();
        if (json) {
            QJsonObject o{{QStringLiteral("port"), row.port}, {QStringLiteral("path"), row.path}};
            if (remote) {
                o.insert(QStringLiteral("address"), row.address);
                if (probing)
                    o.insert(QStringLiteral("answers"), unanswered.isEmpty());
                if (!unanswered.isEmpty())
                    o.insert(QStringLiteral("reason"), unanswered);
            } else {
                o.insert(QStringLiteral("present"), present);
            }
            if (!row.target.isEmpty())
                o.insert(QStringLiteral("target"), row.target);
            if (present)
                o.insert(QStringLiteral("device"), row.device);
            if (!row.problem.isEmpty())
                o.insert(QStringLiteral("problem"), row.problem);
            portsJson << o;
            continue;
        }
        const QString where = whereOf(row);
        QString state = present                 ? QStringLiteral("present")
                        : row.problem.isEmpty() ? QStringLiteral("missing")
                                                : row.problem;
        if (remote)
            state = !probing ? QStringLiteral("remote (--probe tries it)")
                    : unanswered.isEmpty()
                        ? QStringLiteral("answers")
                        : QStringLiteral("does not answer: ") + shownPath(unanswered);
        print(QStringLiteral("  COM%1  %2  %3")
                  .arg(row.port, -int(numberWidth))
                  .arg(where, -int(whereWidth))
                  .arg(state));
    }

    QJsonArray devicesJson;
    if (!json)
        print(devices.isEmpty() ? QStringLiteral("No serial devices found.")
                                : QStringLiteral("Serial devices:"));
    for (const QSerialPortInfo &info : devices) {
        const QString device = info.systemLocation();
        const QString canonical = QFileInfo(device).canonicalFilePath();
        const QString byId = stableName(device);
        QList<int> reaching;
        for (const PortRow &row : rows)
            if (!canonical.isEmpty() && row.device == canonical)
                reaching << row.port;
        const QString usb = info.hasVendorIdentifier() && info.hasProductIdentifier()
                                ? QStringLiteral("%1:%2")
                                      .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                      .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'))
                                : QString();
        if (json) {
            QJsonArray ports;
            for (int port : reaching)
                ports << port;
            devicesJson << QJsonObject{{QStringLiteral("device"), device},
                                       {QStringLiteral("byId"), byId},
                                       {QStringLiteral("description"), info.description()},
                                       {QStringLiteral("manufacturer"), info.manufacturer()},
                                       {QStringLiteral("usb"), usb},
                                       {QStringLiteral("serialNumber"), info.serialNumber()},
                                       {QStringLiteral("ports"), ports}};
            continue;
        }
        QStringList coms;
        for (int port : reaching)
            coms << QStringLiteral("COM%1").arg(port);
        print(QStringLiteral("  %1  %2")
                  .arg(shownPath(device), coms.isEmpty() ? QStringLiteral("no COM number")
                                                         : coms.join(QStringLiteral(", "))));
        if (!byId.isEmpty())
            print(QStringLiteral("      %1").arg(shownPath(byId)));
        // The adapter's own words, from its USB descriptors.
        QStringList facts;
        for (const QString &fact : {info.description(), info.manufacturer(), usb})
            if (!fact.isEmpty())
                facts << serial::shownText(fact);
        if (!info.serialNumber().isEmpty())
            facts << QStringLiteral("serial number ") + serial::shownText(info.serialNumber());
        if (!facts.isEmpty())
            print(QStringLiteral("      ") + facts.join(QStringLiteral(", ")));
    }
    if (json)
        printJson({{QStringLiteral("ports"), portsJson}, {QStringLiteral("devices"), devicesJson}});
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
    const bool remote = serial::looksLikeNetAddress(device);
    if (const QString why =
            remote ? serial::parseNetAddress(device).error : serial::notATerminal(device);
        !why.isEmpty())
        return refuse(why);
    const QString entry = entryPath(port);
    const QFileInfo existing(entry);
    if (existing.exists() && !existing.isSymLink())
        return refuse(
            QStringLiteral("%1 exists and is not a link; remove it first").arg(shownPath(entry)));

    // The by-id name survives re-plugging; a name under it given by the user is kept as is.
    QString target = remote ? serial::parseNetAddress(device).address->text()
                            : QFileInfo(device).absoluteFilePath();
    if (!remote && !target.startsWith(serial::kByIdDirectory + QLatin1Char('/')))
        if (const QString stable = stableName(device); !stable.isEmpty())
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
    const QString entry = entryPath(port);
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
