#include "ports.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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
    QString path;    // what the number opens: the port directory's entry or /dev/ttySn
    QString target;  // the entry's link target, as written
    QString device;  // the device at the end of it, empty when there is none
    QString problem; // why the number reaches no device although something is there
    QString address; // a remote serial port the entry names instead of a device
};

PortRow portRow(int port) {
    PortRow row{port, serial::devicePath(port), {}, {}, {}};
    row.address = serial::networkTarget(row.path);
    if (!row.address.isEmpty()) {
        row.target = row.address;
        return row;
    }
    const QFileInfo info(row.path);
    if (info.isSymLink())
        row.target = info.symLinkTarget();
    row.problem = serial::distrustPortEntry(row.path);
    struct stat st {};
    const QString device = info.canonicalFilePath();
    if (!row.problem.isEmpty() || device.isEmpty())
        return row;
    if (::stat(QFile::encodeName(device).constData(), &st) == 0 && S_ISCHR(st.st_mode))
        row.device = device;
    else
        row.problem = QStringLiteral("not a device");
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
    if (!line->open({4800, serial::LineSettings::Flow::None, true, true}))
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

// A serial port, USB adapter or pseudo-terminal, as the kernel itself says: the device's
// class in sysfs is tty, or it is a pseudo-terminal's far end (majors 136 to 143, which
// sysfs does not list). Only where there is no sysfs does asking the device decide, and a
// device that cannot be asked is refused. The controlling terminal, the console and the
// pseudo-terminal multiplexer are terminals no instrument is ever on.
QString notATerminal(const QString &device) {
    const QString shown = serial::shownText(device, serial::kShownPathLength);
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return QStringLiteral("%1: %2").arg(shown, QString::fromLocal8Bit(std::strerror(errno)));
    const QString notOne = QStringLiteral("%1 is not a terminal device").arg(shown);
    if (!S_ISCHR(st.st_mode))
        return notOne;
    const unsigned kind = major(st.st_rdev);
    const unsigned number = minor(st.st_rdev);
    if (kind == 5 && number <= 2) {
        static const char *const special[] = {"the controlling terminal", "the system console",
                                              "the pseudo-terminal multiplexer"};
        return QStringLiteral("%1 is %2, not a serial line").arg(shown, special[number]);
    }
    const QString classLink = QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(kind).arg(number);
    if (QFileInfo(classLink).isSymLink()) {
        const QString subsystem = QFileInfo(QFileInfo(classLink).symLinkTarget()).fileName();
        return subsystem == QLatin1String("tty")
                   ? QString()
                   : QStringLiteral("%1 (a %2 device)").arg(notOne, subsystem);
    }
    if (kind >= 136 && kind <= 143)
        return {};
    if (QFileInfo(QStringLiteral("/sys/dev/char")).isDir())
        return notOne;
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("cannot tell whether %1 is a terminal device: %2")
            .arg(shown, QString::fromLocal8Bit(std::strerror(errno)));
    const bool terminal = ::isatty(fd);
    ::close(fd);
    return terminal ? QString() : notOne;
}

} // namespace

QString stableName(const QString &device, const QString &byIdDirectory) {
    const QString wanted = QFileInfo(device).canonicalFilePath();
    if (wanted.isEmpty())
        return {};
    const QDir dir(byIdDirectory);
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        if (entry.canonicalFilePath() == wanted)
            return entry.absoluteFilePath();
    return {};
}

int listPorts(bool json, bool probing) {
    const QList<int> numbers = listedPorts();
    QList<PortRow> rows;
    for (int port : numbers)
        rows << portRow(port);

    QJsonArray portsJson;
    if (!json)
        print(QStringLiteral("COM numbers (port directory %1):")
                  .arg(shownPath(serial::portDirectory())));
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
        QString where = shownPath(row.path);
        if (!row.target.isEmpty())
            where += QStringLiteral(" -> ") + shownPath(row.target);
        if (present && row.device != row.path && row.device != row.target)
            where += QStringLiteral(" (") + shownPath(row.device) + QLatin1Char(')');
        QString state = present                 ? QStringLiteral("present")
                        : row.problem.isEmpty() ? QStringLiteral("missing")
                                                : row.problem;
        if (remote)
            state = !probing ? QStringLiteral("remote (--probe tries it)")
                    : unanswered.isEmpty()
                        ? QStringLiteral("answers")
                        : QStringLiteral("does not answer: ") + shownPath(unanswered);
        print(QStringLiteral("  COM%1  %2  %3").arg(row.port, -3).arg(where, state));
    }

    QJsonArray devicesJson;
    const QList<QSerialPortInfo> devices = QSerialPortInfo::availablePorts();
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

int mapPort(int port, const QString &device, bool json) {
    // A remote serial port's address is the link's text itself: the port directory stays a
    // directory of links, and a program that takes the entry for a path finds nothing there.
    const bool remote = serial::looksLikeNetAddress(device);
    if (const QString why = remote ? serial::parseNetAddress(device).error : notATerminal(device);
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
    if (!remote && !target.startsWith(kByIdDirectory + QLatin1Char('/')))
        if (const QString stable = stableName(device); !stable.isEmpty())
            target = stable;

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
    if (json)
        printJson({{QStringLiteral("port"), port},
                   {QStringLiteral("path"), entry},
                   {QStringLiteral("target"), target}});
    else
        print(QStringLiteral("COM%1: %2 -> %3").arg(port).arg(shownPath(entry), shownPath(target)));
    return 0;
}

int unmapPort(int port, bool json) {
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
