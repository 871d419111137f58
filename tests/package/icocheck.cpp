// Compares the PNG files ico2png.py wrote for a theme with the images Qt's own ICO
// reader finds in the same .ico, pixel by pixel, as an independent decoder.
//
//   zlp_icocheck FILE.ico HICOLOR_DIR NAME
//
// Every square image of a theme size must have its PNG, equal to the deepest image of
// that size in the file (fully transparent pixels compare equal whatever their colour).
// Qt 5 ignores the AND mask of 24-bit images, so tests give those an opaque picture.
// Prints one line per size checked; exit 0 when all match.
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMap>
#include <QTextStream>
#include <cstdio>

namespace
{

const int themeSizes[] = {16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, 256, 512};

bool isThemeSize(int size)
{
    for (int s : themeSizes) {
        if (s == size)
            return true;
    }
    return false;
}

// Qt hands 32-bit icon images over premultiplied, so a half-transparent pixel comes
// back with its colour rounded: allow what one premultiply and back can lose.
bool closeEnough(QRgb a, QRgb b)
{
    const int alpha = qAlpha(a);
    if (alpha != qAlpha(b) || alpha == 255)
        return false;
    const int slack = (255 + alpha - 1) / alpha;
    return qAbs(qRed(a) - qRed(b)) <= slack && qAbs(qGreen(a) - qGreen(b)) <= slack &&
           qAbs(qBlue(a) - qBlue(b)) <= slack;
}

// First differing pixel as text, or empty when the images match.
QString firstDifference(const QImage &expected, const QImage &got)
{
    if (expected.size() != got.size())
        return QStringLiteral("size %1x%2, want %3x%4")
            .arg(got.width())
            .arg(got.height())
            .arg(expected.width())
            .arg(expected.height());
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb a = expected.pixel(x, y), b = got.pixel(x, y);
            if (qAlpha(a) == 0 && qAlpha(b) == 0)
                continue;
            if (a != b && !closeEnough(a, b))
                return QStringLiteral("pixel %1,%2 is #%3, want #%4")
                    .arg(x)
                    .arg(y)
                    .arg(b, 8, 16, QLatin1Char('0'))
                    .arg(a, 8, 16, QLatin1Char('0'));
        }
    }
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc != 4) {
        out << "usage: zlp_icocheck FILE.ico HICOLOR_DIR NAME\n";
        return 2;
    }
    const QString hicolor = QString::fromLocal8Bit(argv[2]), name = QString::fromLocal8Bit(argv[3]);
    QImageReader reader(QString::fromLocal8Bit(argv[1]), "ico");
    if (!reader.canRead()) {
        out << "Qt cannot read " << argv[1] << ": " << reader.errorString() << "\n";
        return 2;
    }
    // The deepest image of each theme size.
    QMap<int, QImage> best;
    for (int i = 0; i < reader.imageCount(); ++i) {
        if (!reader.jumpToImage(i))
            break;
        QImage image = reader.read();
        if (image.isNull() || image.width() != image.height() || !isThemeSize(image.width()))
            continue;
        auto it = best.find(image.width());
        if (it == best.end() || it->depth() < image.depth())
            best[image.width()] = image;
    }
    int failures = 0;
    for (auto it = best.cbegin(); it != best.cend(); ++it) {
        const QString path =
            QStringLiteral("%1/%2x%2/apps/%3.png").arg(hicolor).arg(it.key()).arg(name);
        QImage png(path, "png");
        QString problem = png.isNull()
                              ? QStringLiteral("missing or unreadable")
                              : firstDifference(it->convertToFormat(QImage::Format_ARGB32),
                                                png.convertToFormat(QImage::Format_ARGB32));
        out << it.key() << "x" << it.key() << ": "
            << (problem.isEmpty() ? QStringLiteral("ok") : problem) << "\n";
        failures += problem.isEmpty() ? 0 : 1;
    }
    if (best.isEmpty()) {
        out << "no square image of a theme size in the file\n";
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
