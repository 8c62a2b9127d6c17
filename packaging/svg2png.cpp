// Renders the tool's SVG icon into the PNG sizes of the desktop's hicolor theme at build time.
// It reads the SVG through Qt's image plugin, the renderer the program itself draws its icon
// with, so the desktop's PNGs and the window's icon cannot differ; no extra package needed.
//
//   zarvo-svg2png ICON.svg OUTDIR SIZE...   writes OUTDIR/<SIZE>x<SIZE>/apps/<name>.png
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: zarvo-svg2png ICON.svg OUTDIR SIZE...\n");
        return 2;
    }
    const QString svg = args[0];
    const QString name = QFileInfo(svg).completeBaseName() + QStringLiteral(".png");
    for (const QString &arg : args.mid(2)) {
        bool ok = false;
        const int size = arg.toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            std::fprintf(stderr, "zarvo-svg2png: %s is not a size in pixels\n", qPrintable(arg));
            return 2;
        }
        QImageReader reader(svg, "svg");
        reader.setScaledSize(QSize(size, size));
        const QImage image = reader.read();
        if (image.isNull()) {
            std::fprintf(stderr, "zarvo-svg2png: %s: %s\n", qPrintable(svg),
                         qPrintable(reader.errorString()));
            return 1;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args[1]).arg(size);
        if (!QDir().mkpath(dir) || !image.save(dir + u'/' + name, "png")) {
            std::fprintf(stderr, "zarvo-svg2png: cannot write %s/%s\n", qPrintable(dir),
                         qPrintable(name));
            return 1;
        }
    }
    return 0;
}
