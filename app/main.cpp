// Starts the tool: one main window, shown unless another copy already runs.
#include "frmmain.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    frmMain window;
    if (!window.Form_Load())
        return 0;
    window.show();
    return app.exec();
}
