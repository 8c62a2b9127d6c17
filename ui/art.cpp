// The tool's icon and the maker's logo, drawn as SVG files under icons/ and compiled in as
// resources; Qt's SVG plugins render them at whatever size is asked for.
#include "dialogs.h"

// Both are kept on the heap for the life of the process: a static pixmap would otherwise be
// destroyed after the application object, when the window system may already be gone.
QIcon toolIcon() {
    static const QIcon *icon = new QIcon(QStringLiteral(":/icons/zarvo-update.svg"));
    return *icon;
}

QPixmap makerLogo() {
    static const QPixmap *logo = new QPixmap(QStringLiteral(":/icons/zarvo-logo.svg"));
    return *logo;
}
