// Stands in for another serial program: holds a device the way such a program does (lock
// file plus exclusive open) until its standard input closes or it is killed.
#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zarvo-portholder <device>\n");
        return 2;
    }
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], qPrintable(port.errorString()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);

    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    port.close();
    return 0;
}
