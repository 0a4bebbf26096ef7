// Draws the calibration page's hand picture (PNG) from the shared joint geometry.
// Usage: palmdesk_art OUTPUT.png

#include "app/handpicture.hpp"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>
#include <cstdio>

namespace {

QPainterPath digitPath(const palmdesk::Digit& d) {
    QPainterPath path(QPointF(d.points[0][0], d.points[0][1]));
    for (int i = 1; i < d.count; ++i) {
        path.lineTo(d.points[i][0], d.points[i][1]);
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: palmdesk_art OUTPUT.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    using namespace palmdesk;
    QImage image(kHandPictureWidth, kHandPictureHeight, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const QColor skin(238, 204, 172);
    const QColor outline(150, 105, 80);
    const QColor crease(205, 165, 135);

    QPolygonF palm;
    for (const auto& c : kPalm) {
        palm << QPointF(c[0], c[1]);
    }
    QPainterPath palmPath;
    palmPath.addPolygon(palm);
    palmPath.closeSubpath();
    const QRectF wrist(kWrist[0], kWrist[1], kWrist[2], kWrist[3]);

    // Outline first, wide; then the skin over it, so the shapes merge without inner edges.
    for (int pass = 0; pass < 2; ++pass) {
        const QColor colour = pass == 0 ? outline : skin;
        const int grow = pass == 0 ? 4 : 0;
        p.setBrush(colour);
        p.setPen(QPen(colour, 1 + grow, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawRoundedRect(wrist.adjusted(-grow / 2.0, 0, grow / 2.0, grow / 2.0), 10, 10);
        p.setPen(QPen(colour, 6 + grow, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(palmPath);
        p.setBrush(Qt::NoBrush);
        for (const auto& d : kDigits) {
            p.setPen(QPen(colour, d.width + grow, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPath(digitPath(d));
        }
    }

    // Knuckle creases across each finger joint, and one across the wrist.
    p.setPen(QPen(crease, 2, Qt::SolidLine, Qt::RoundCap));
    for (const auto& d : kDigits) {
        for (int i = 1; i < d.count - 1; ++i) {
            const QPointF a(d.points[i - 1][0], d.points[i - 1][1]);
            const QPointF b(d.points[i][0], d.points[i][1]);
            const QPointF dir = b - a;
            const double len = std::hypot(dir.x(), dir.y());
            if (len <= 0) {
                continue;
            }
            const QPointF n(-dir.y() / len, dir.x() / len);
            const double half = d.width * 0.32;
            p.drawLine(b + n * half, b - n * half);
        }
    }
    p.drawLine(QPointF(kWrist[0] + 12, kWrist[1] + 18),
               QPointF(kWrist[0] + kWrist[2] - 12, kWrist[1] + 18));
    p.end();

    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "palmdesk_art: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
