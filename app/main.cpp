// Starts the tool: one main window, shown unless another copy already runs.
#include "frmmain.h"
#include "nodisplay.h"

#include <QApplication>
#include <cstdio>
#include <memory>
#include <string_view>

#include "appinfo.h"

namespace {

constexpr const char *kHelp =
    "Usage: zarvo-update [--help | --version] [Qt's options]\n"
    "The window that replaces the firmware of ZARVO-415B, ZARVO-417 and ZARVO-452 SWR and RF\n"
    "power meters through the instrument's bootloader, over a serial port. zarvo-flash does\n"
    "the same from the command line, without a display.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the firmware version this program installs\n"
    "\n"
    "Qt's own options (-platform, -style, -display, ...) go to Qt; any other argument is\n"
    "ignored.\n";

} // namespace

int main(int argc, char *argv[]) {
    // Answered before anything opens a display or touches the single-instance lock, so that
    // they work without a desktop and beside a running window.
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("zarvo-update %d.%02d (installs ZARVO firmware %s)\n",
                        appinfo::kVersionMajor, appinfo::kVersionMinor, appinfo::kVersionDigits);
            return 0;
        }
    }
    auto noDisplay = std::make_unique<NoDisplayGuard>();
    QApplication app(argc, argv);
    noDisplay.reset();
    // Ties the window to its desktop entry and icon where the compositor asks (Wayland).
    QGuiApplication::setDesktopFileName(QStringLiteral("zarvo-update"));
    frmMain window;
    if (!window.Form_Load())
        return 0;
    window.show();
    return app.exec();
}
