// Draws the window's pictures into this folder. Not part of the build: run it once when a picture
// changes, e.g.
//   g++ -std=c++20 -fPIC make_images.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make_images
//   QT_QPA_PLATFORM=offscreen /tmp/make_images app/images
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

QImage Blank(int size) {
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// A round traffic lamp: dark rim, lit body with a highlight at the upper left.
QImage Lamp(QColor lit, int size = 16) {
    QImage img = Blank(size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body(1.0, 1.0, size - 2.0, size - 2.0);
    QRadialGradient g(body.center() - QPointF(size * 0.15, size * 0.15), size * 0.6);
    g.setColorAt(0.0, lit.lighter(170));
    g.setColorAt(0.45, lit);
    g.setColorAt(1.0, lit.darker(220));
    p.setBrush(g);
    p.setPen(QPen(QColor(40, 40, 40), 1.0));
    p.drawEllipse(body);
    return img;
}

// The refresh picture: an orange lightning bolt on a grey diamond.
QImage Refresh() {
    QImage img = Blank(16);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPolygonF diamond({{8, 0.5}, {15.5, 8}, {8, 15.5}, {0.5, 8}});
    p.setBrush(QColor(150, 150, 150));
    p.setPen(QPen(QColor(90, 90, 90), 1.0));
    p.drawPolygon(diamond);
    QPolygonF bolt({{9.5, 2}, {4.5, 9}, {7.8, 9}, {6.2, 14}, {11.5, 6.8}, {8.2, 6.8}, {10, 2}});
    p.setBrush(QColor(255, 140, 0));
    p.setPen(QPen(QColor(150, 60, 0), 0.8));
    p.drawPolygon(bolt);
    return img;
}

// The application icon: a printer in front of a green, yellow and red lamp column.
QImage AppIcon(int size) {
    QImage img = Blank(size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 48.0;
    p.scale(s, s);
    // paper
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.drawRect(QRectF(12, 4, 20, 16));
    // body
    p.setBrush(QColor(70, 70, 90));
    p.drawRoundedRect(QRectF(4, 18, 36, 18), 3, 3);
    p.setBrush(QColor(204, 204, 255));
    p.drawRect(QRectF(10, 30, 24, 12));
    // lamps
    const QColor colours[] = {QColor(0, 200, 0), QColor(240, 200, 0), QColor(220, 0, 0)};
    for (int i = 0; i < 3; ++i) {
        p.setBrush(colours[i]);
        p.setPen(QPen(QColor(30, 30, 30), 1.0));
        p.drawEllipse(QRectF(38, 6 + i * 12, 9, 9));
    }
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = Lamp(QColor(0, 200, 0)).save(dir + "/lamp_green.png")
              && Lamp(QColor(240, 200, 0)).save(dir + "/lamp_yellow.png")
              && Lamp(QColor(220, 0, 0)).save(dir + "/lamp_red.png")
              && Refresh().save(dir + "/refresh.png") && AppIcon(32).save(dir + "/quenlo32.png")
              && AppIcon(48).save(dir + "/quenlo48.png");
    return ok ? 0 : 1;
}
