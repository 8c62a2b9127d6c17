// Starts the tool: one main window, shown unless another copy already runs.
#include "frmmain.h"
#include "nodisplay.h"

#include <QApplication>
#include <memory>

int main(int argc, char *argv[]) {
    auto noDisplay = std::make_unique<NoDisplayGuard>();
    QApplication app(argc, argv);
    noDisplay.reset();
    frmMain window;
    if (!window.Form_Load())
        return 0;
    window.show();
    return app.exec();
}
