// Stands in for another serial program: holds a device the way such a program does (lock
// file plus exclusive open) until its standard input closes or it is killed. With --plain
// it holds it as `cat < device` or a terminal program that locks nothing does: opened, no
// lock file, no exclusive use.
#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const bool plain = argc == 3 && std::strcmp(argv[1], "--plain") == 0;
    if (argc != 2 && !plain) {
        std::fprintf(stderr, "usage: zarvo-portholder [--plain] <device>\n");
        return 2;
    }
    const char *device = argv[argc - 1];
    QSerialPort port(QString::fromLocal8Bit(device));
    int fd = -1;
    if (plain) {
        fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "%s: %s\n", device, std::strerror(errno));
            return 1;
        }
    } else if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "%s: %s\n", device, qPrintable(port.errorString()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);

    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    port.close();
    if (fd >= 0)
        ::close(fd);
    return 0;
}
