// Port numbers on Windows: COMn is the port itself, and there is no port directory to
// resolve, trust or make.
#include "portnames.h"

namespace serial {

QString devicePath(int port) {
    return port < 1 ? QString() : QStringLiteral("COM%1").arg(port);
}

PortTarget resolvePort(int port) {
    PortTarget target;
    target.entry = devicePath(port);
    target.device = target.entry;
    target.characterDevice = !target.entry.isEmpty();
    return target;
}

bool hasPortDirectory() {
    return false;
}

QString distrustPortEntry(const QString &path) {
    Q_UNUSED(path);
    return {};
}

QString distrustTarget(const QString &path) {
    Q_UNUSED(path);
    return {};
}

QString notATerminal(const QString &path) {
    Q_UNUSED(path);
    return {};
}

bool makePortDirectory(QString *error) {
    if (error)
        *error = QStringLiteral("there is no port directory here: COMn is the port itself");
    return false;
}

} // namespace serial
