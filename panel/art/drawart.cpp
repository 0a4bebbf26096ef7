// Draws glovepanel's pictures at build time: the window background and the three
// battery pictures. Usage: glovepanel_art <background.PNG> <picture folder>
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <QString>
#include <QTransform>

#include <cstdio>

namespace {

constexpr int kBackgroundWidth = 554;
constexpr int kBackgroundHeight = 753;

// A flat right hand seen from the palm side, about 100 x 210 units, wrist at the bottom.
QPainterPath handOutline() {
    QPainterPath hand;
    hand.addRoundedRect(QRectF(0, 90, 100, 100), 22, 22);  // palm
    QPainterPath wrist;
    wrist.addRoundedRect(QRectF(28, 180, 48, 40), 10, 10);
    hand = hand.united(wrist);
    const struct {
        double x, length, angle;
    } fingers[] = {{2, 68, -8}, {27, 86, -2}, {52, 92, 0}, {77, 80, 5}};
    for (const auto& f : fingers) {
        QPainterPath finger;
        finger.addRoundedRect(QRectF(0, -f.length, 20, f.length + 12), 10, 10);
        QTransform t;
        t.translate(f.x + 10, 100);
        t.rotate(f.angle);
        t.translate(-10, 0);
        hand = hand.united(t.map(finger));
    }
    QPainterPath thumb;
    thumb.addRoundedRect(QRectF(-22, -70, 22, 80), 11, 11);
    QTransform t;
    t.translate(-2, 160);
    t.rotate(-48);
    return hand.united(t.map(thumb));
}

QImage drawBackground() {
    QImage image(kBackgroundWidth, kBackgroundHeight, QImage::Format_ARGB32);
    image.fill(QColor(255, 255, 255));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Pale band behind the connection controls.
    QLinearGradient band(0, 0, 0, 76);
    band.setColorAt(0.0, QColor(214, 230, 246));
    band.setColorAt(1.0, QColor(255, 255, 255));
    p.fillRect(QRectF(0, 0, kBackgroundWidth, 76), band);

    // Thin rules between the groups of controls.
    p.setPen(QPen(QColor(200, 212, 226), 1));
    for (int y : {74, 124, 172, 374, 432}) {
        p.drawLine(8, y, kBackgroundWidth - 8, y);
    }

    // A faint glove with its sensor points behind the value read-out.
    QTransform place;
    place.translate(420, 480);
    place.scale(1.15, 1.15);
    p.setPen(QPen(QColor(196, 214, 234), 2));
    p.setBrush(QColor(236, 243, 251));
    p.drawPath(place.map(handOutline()));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(170, 196, 224));
    const QPointF sensors[] = {{12, 40}, {37, 20}, {62, 14},  {87, 30},  {12, 80},   {37, 70},
                               {62, 66}, {87, 76}, {50, 130}, {50, 200}, {-32, 148}, {-52, 129}};
    for (const QPointF& s : sensors) {
        p.drawEllipse(place.map(s), 4.0, 4.0);
    }
    p.end();
    return image;
}

// level: 0 empty, 1 half, 2 full.
QImage drawBattery(int level) {
    QImage image(160, 70, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF body(5, 7, 136, 56);
    p.setPen(QPen(QColor(60, 64, 70), 5));
    p.setBrush(QColor(250, 250, 250));
    p.drawRoundedRect(body, 9, 9);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 64, 70));
    p.drawRoundedRect(QRectF(143, 23, 12, 24), 3, 3);

    const QColor fill[] = {QColor(208, 48, 48), QColor(230, 160, 32), QColor(46, 158, 68)};
    p.setBrush(fill[level]);
    const double inner = body.width() - 16;
    const double segment = (inner - 9) / 4;
    if (level == 0) {
        p.drawRect(QRectF(body.left() + 8, body.top() + 8, 10, body.height() - 16));
    }
    const int segments = level == 2 ? 4 : level == 1 ? 2 : 0;
    for (int i = 0; i < segments; ++i) {
        p.drawRect(QRectF(body.left() + 8 + i * (segment + 3), body.top() + 8, segment,
                          body.height() - 16));
    }
    p.end();
    return image;
}

bool save(const QImage& image, const QString& path) {
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "glovepanel_art: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: glovepanel_art <background.PNG> <picture folder>\n");
        return 2;
    }
    const QString background = QString::fromLocal8Bit(argv[1]);
    const QDir pictures(QString::fromLocal8Bit(argv[2]));
    if (!QDir().mkpath(QFileInfo(background).absolutePath()) || !QDir().mkpath(pictures.path())) {
        std::fprintf(stderr, "glovepanel_art: cannot create the output folders\n");
        return 1;
    }
    bool ok = save(drawBackground(), background);
    ok = save(drawBattery(2), pictures.filePath(QStringLiteral("full.PNG"))) && ok;
    ok = save(drawBattery(1), pictures.filePath(QStringLiteral("half.PNG"))) && ok;
    ok = save(drawBattery(0), pictures.filePath(QStringLiteral("empty.PNG"))) && ok;
    return ok ? 0 : 1;
}
