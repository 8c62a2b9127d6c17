// The tool's icon and the maker's logo, painted at run time so the tool ships no image files.
#include "dialogs.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace {

// A meter face: a dial arc with a red zone at the high end and a needle standing in it,
// which is what a user looks at on the instrument when the SWR is bad.
QPixmap drawMeter(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    const qreal s = size;
    const QRectF body(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
    QLinearGradient bodyFill(body.topLeft(), body.bottomLeft());
    bodyFill.setColorAt(0.0, QColor(0x3a, 0x4a, 0x5c));
    bodyFill.setColorAt(1.0, QColor(0x1c, 0x25, 0x30));
    p.setPen(QPen(QColor(0x10, 0x16, 0x1d), qMax(1.0, s / 32)));
    p.setBrush(bodyFill);
    p.drawRoundedRect(body, s * 0.16, s * 0.16);

    const QRectF face(s * 0.14, s * 0.14, s * 0.72, s * 0.56);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf4, 0xee, 0xd8));
    p.drawRoundedRect(face, s * 0.06, s * 0.06);

    // The scale spans 150 degrees around a pivot below the face's centre.
    const QPointF pivot(s * 0.5, s * 0.66);
    const qreal radius = s * 0.40;
    const QRectF arcBox(pivot.x() - radius, pivot.y() - radius, radius * 2, radius * 2);
    const qreal arcWidth = qMax(1.0, s / 18);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), arcWidth, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(arcBox, 60 * 16, 90 * 16);
    p.setPen(QPen(QColor(0xd0, 0x20, 0x20), arcWidth, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(arcBox, 40 * 16, 20 * 16);

    if (size >= 32) {
        p.setPen(QPen(QColor(0x20, 0x20, 0x20), qMax(1.0, s / 64)));
        for (int deg = 40; deg <= 150; deg += 22) {
            const qreal a = qDegreesToRadians(qreal(deg));
            const QPointF dir(qCos(a), -qSin(a));
            p.drawLine(pivot + dir * (radius - arcWidth * 1.8),
                       pivot + dir * (radius - arcWidth / 2));
        }
    }

    const qreal needle = qDegreesToRadians(52.0);
    p.setPen(QPen(QColor(0xc0, 0x10, 0x10), qMax(1.0, s / 24), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(pivot, pivot + QPointF(qCos(needle), -qSin(needle)) * (radius * 1.02));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x20, 0x20, 0x20));
    p.drawEllipse(pivot, s * 0.06, s * 0.06);

    // A row of "keys" below the face; left out where they would only be noise.
    if (size >= 24) {
        p.setBrush(QColor(0xb8, 0xc4, 0xd0));
        const qreal kw = s * 0.16, kh = s * 0.08, ky = s * 0.78;
        for (int i = 0; i < 3; ++i)
            p.drawRoundedRect(QRectF(s * 0.20 + i * s * 0.22, ky, kw, kh), kh / 3, kh / 3);
    }
    return pm;
}

QPixmap drawLogo() {
    constexpr int w = 96, h = 64;
    QPixmap pm(w, h);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // A carrier wave running through the brand name.
    QPainterPath wave;
    wave.moveTo(2, 48);
    for (int x = 2; x <= w - 2; ++x)
        wave.lineTo(x, 48 - 9 * qSin((x - 2) * 2 * M_PI / 30.0) * (0.4 + 0.6 * (x - 2) / (w - 4)));
    p.setPen(QPen(QColor(0xd0, 0x20, 0x20), 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(wave);

    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setBold(true);
    f.setItalic(true);
    f.setPixelSize(24);
    f.setLetterSpacing(QFont::AbsoluteSpacing, -1);
    p.setFont(f);
    const QRectF band(0, 4, w, 30);
    p.setPen(QColor(0xb0, 0xb8, 0xc0));
    p.drawText(band.translated(1.5, 1.5), Qt::AlignCenter, QStringLiteral("ZARVO"));
    p.setPen(QColor(0x1c, 0x3a, 0x6e));
    p.drawText(band, Qt::AlignCenter, QStringLiteral("ZARVO"));
    return pm;
}

} // namespace

// Both are kept on the heap for the life of the process: a static pixmap would otherwise be
// destroyed after the application object, when the window system may already be gone.
QIcon toolIcon() {
    static const QIcon *icon = [] {
        auto *i = new QIcon;
        for (int size : {16, 24, 32, 48, 64, 128, 256})
            i->addPixmap(drawMeter(size));
        return i;
    }();
    return *icon;
}

QPixmap makerLogo() {
    static const QPixmap *logo = new QPixmap(drawLogo());
    return *logo;
}
