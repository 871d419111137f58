// The pictures the monitor and the setup tool ship: each one loads through Qt's own image
// readers, has the size and file form the programs expect, and still says what it means
// (state colour, toner level) at the size the desktop shows it.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QtTest>

namespace
{

QString imagePath(const QString &name)
{
    return QDir(QStringLiteral(ZLP_IMAGES_DIR)).filePath(name);
}

QImage loadImage(const QString &name)
{
    QImageReader reader(imagePath(name));
    QImage image = reader.read();
    if (image.isNull())
        qWarning("%s: %s", qPrintable(name), qPrintable(reader.errorString()));
    return image.convertToFormat(QImage::Format_ARGB32);
}

enum class Hue { Green, Amber, Red, Blue, Yellow, Cyan };

bool hueMatches(Hue hue, const QColor &c)
{
    const int h = c.hsvHue();
    switch (hue) {
    case Hue::Green:
        return h >= 90 && h <= 160;
    case Hue::Amber:
        return h >= 28 && h <= 45;
    case Hue::Red:
        return h >= 0 && (h <= 12 || h >= 345);
    case Hue::Blue:
        return h >= 195 && h <= 235;
    case Hue::Yellow:
        return h >= 40 && h <= 60;
    case Hue::Cyan:
        return h >= 180 && h <= 195;
    }
    return false;
}

// Share of the visible, clearly coloured pixels whose hue is the given one.
double hueShare(const QImage &image, Hue hue)
{
    int coloured = 0;
    int matching = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            if (c.alpha() < 128 || c.hsvSaturation() < 110 || c.value() < 90)
                continue;
            ++coloured;
            if (hueMatches(hue, c))
                ++matching;
        }
    }
    return coloured ? double(matching) / coloured : 0.0;
}

// Rows of the gauge's inside (between its walls) that hold toner colour, as a share.
double gaugeLevel(const QImage &gauge)
{
    const int x = gauge.width() / 2 - 2;
    int filled = 0;
    const int top = 8, bottom = 54;
    for (int y = top; y < bottom; ++y) {
        const QColor c = QColor::fromRgba(gauge.pixel(x, y));
        if (c.hsvSaturation() > 120 || c.value() < 70)
            ++filled;
    }
    return double(filled) / (bottom - top);
}

} // namespace

class ImagesTest : public QObject
{
    Q_OBJECT
  private slots:
    void loadsWithSize_data();
    void loadsWithSize();
    void statusBitmapsArePlain24BitBmp();
    void windowIconHoldsEveryDesktopSize();
    void stateColourSurvivesTraySize_data();
    void stateColourSurvivesTraySize();
    void tonerGaugesShowTheirLevel_data();
    void tonerGaugesShowTheirLevel();
};

void ImagesTest::loadsWithSize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    for (const char *tray : {"heart.png", "trash.png", "bad.png"})
        QTest::newRow(tray) << tray << QSize(64, 64);
    for (const char *gauge : {"t_0.png", "c100.png", "t_unknown.png", "y5.png"})
        QTest::newRow(gauge) << gauge << QSize(30, 60);
    QTest::newRow("toner.png") << "toner.png" << QSize(120, 120);
    for (const char *bmp : {"W3_b256.bmp", "W3_y256.bmp", "W3_r256.bmp"})
        QTest::newRow(bmp) << bmp << QSize(256, 256);
}

// A picture that decodes but is empty (a failed render gives a transparent or single-colour
// canvas) would show nothing on the desktop.
void ImagesTest::loadsWithSize()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QImage image = loadImage(name);
    QVERIFY2(!image.isNull(), qPrintable(name));
    QCOMPARE(image.size(), size);
    QSet<QRgb> colours;
    int visible = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(image.pixel(x, y));
            visible += qAlpha(image.pixel(x, y)) > 200;
        }
    QVERIFY2(colours.size() >= 8, qPrintable(QStringLiteral("%1 colours").arg(colours.size())));
    QVERIFY(visible >= image.width() * image.height() / 5);
}

void ImagesTest::statusBitmapsArePlain24BitBmp()
{
    for (const char *name : {"W3_b256.bmp", "W3_y256.bmp", "W3_r256.bmp"}) {
        QFile file(imagePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray head = file.read(54);
        QCOMPARE(head.size(), 54);
        QCOMPARE(head.left(2), QByteArray("BM"));
        auto le16 = [&](int at) { return quint8(head[at]) | quint8(head[at + 1]) << 8; };
        QCOMPARE(le16(14), 40); // BITMAPINFOHEADER
        QCOMPARE(le16(28), 24); // bits per pixel
        QCOMPARE(le16(30), 0);  // BI_RGB, uncompressed
        QCOMPARE(QImageReader(imagePath(name)).format(), QByteArray("bmp"));
        QVERIFY(!QImageReader(imagePath(name)).read().hasAlphaChannel());
    }
}

void ImagesTest::windowIconHoldsEveryDesktopSize()
{
    QImageReader reader(imagePath(QStringLiteral("oemSetup.ico")));
    QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
    QSet<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        QVERIFY(hueShare(image.convertToFormat(QImage::Format_ARGB32), Hue::Blue) > 0.3);
        sizes.insert(image.width());
    }
    QCOMPARE(sizes, (QSet<int>{16, 32, 48, 256}));
}

void ImagesTest::stateColourSurvivesTraySize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("hue");
    QTest::newRow("ready") << "heart.png" << int(Hue::Green);
    QTest::newRow("stop") << "trash.png" << int(Hue::Amber);
    QTest::newRow("error") << "bad.png" << int(Hue::Red);
    QTest::newRow("normal picture") << "W3_b256.bmp" << int(Hue::Blue);
    QTest::newRow("warning picture") << "W3_y256.bmp" << int(Hue::Yellow);
    QTest::newRow("error picture") << "W3_r256.bmp" << int(Hue::Red);
}

// Swapped or mis-coloured files would put a green badge on an error; the colour must also
// outlast scaling to a 22-pixel panel.
void ImagesTest::stateColourSurvivesTraySize()
{
    QFETCH(QString, name);
    QFETCH(int, hue);
    const QImage small =
        loadImage(name).scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    const double share = hueShare(small, Hue(hue));
    QVERIFY2(share > 0.4, qPrintable(QStringLiteral("share %1").arg(share)));
    for (int other = 0; other <= int(Hue::Cyan); ++other) {
        if (other == hue || (Hue(hue) == Hue::Yellow && Hue(other) == Hue::Amber) ||
            (Hue(hue) == Hue::Amber && Hue(other) == Hue::Yellow))
            continue;
        QVERIFY2(hueShare(small, Hue(other)) < share, qPrintable(QString::number(other)));
    }
}

void ImagesTest::tonerGaugesShowTheirLevel_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::newRow("black empty") << "t_0.png" << 0.0 << 0.05;
    QTest::newRow("cyan full") << "c100.png" << 0.95 << 1.0;
    QTest::newRow("yellow 5%") << "y5.png" << 0.03 << 0.15;
}

void ImagesTest::tonerGaugesShowTheirLevel()
{
    QFETCH(QString, name);
    QFETCH(double, low);
    QFETCH(double, high);
    const double level = gaugeLevel(loadImage(name));
    QVERIFY2(level >= low && level <= high, qPrintable(QString::number(level)));
}

QTEST_GUILESS_MAIN(ImagesTest)
#include "images_test.moc"
