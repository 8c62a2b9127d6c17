// Which port is which: the COM numbers and where each leads, the system's serial devices
// with the number that reaches each, and the port directory's links made and removed.
#pragma once

#include <QString>

namespace cli {

// Each returns an exit status and prints what it did, or one line saying why it could not.
// `probing`: each COM number that names a remote serial port is tried.
int listPorts(bool json, bool probing = false);
int mapPort(int port, const QString &device, bool json);
int unmapPort(int port, bool json);

} // namespace cli
