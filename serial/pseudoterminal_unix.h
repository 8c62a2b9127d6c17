// Which terminal devices are pseudo-terminals' far ends, on Unix: the port directory's check
// of a device and the Unix line's exclusive use both ask here.
#pragma once

#include <QString>
#include <sys/stat.h>

namespace serial {

// By the device number where the kernel gives pseudo-terminals numbers of their own (Linux:
// the Unix 98 majors 136 to 143 and the old BSD one), else by the name (/dev/pts/N, the old
// /dev/ttyp*); `info` is the device's stat, or zeroed where it could not be had.
bool isPseudoTerminal(const struct stat &info, const QString &path);

} // namespace serial
