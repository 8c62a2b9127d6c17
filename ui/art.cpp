// The tool's icon and the maker's logo, drawn as SVG files under icons/ and compiled in as
// resources; Qt's SVG plugins render them at whatever size is asked for.
#include "dialogs.h"

#include <QImageReader>

// The icon is kept on the heap for the life of the process: a static one would otherwise be
// destroyed after the application object, when the window system may already be gone.
QIcon toolIcon() {
    static const QIcon *icon = new QIcon(QStringLiteral(":/icons/zarvo-update.svg"));
    return *icon;
}

// Drawn anew at the pixels the screen has: a pixmap of the logical size scaled up would be
// blurred.
QPixmap makerLogo(qreal devicePixelRatio) {
    QImageReader reader(QStringLiteral(":/icons/zarvo-logo.svg"));
    const QSize logical = reader.size();
    reader.setScaledSize((QSizeF(logical) * devicePixelRatio).toSize());
    QPixmap logo = QPixmap::fromImage(reader.read());
    logo.setDevicePixelRatio(devicePixelRatio);
    return logo;
}
