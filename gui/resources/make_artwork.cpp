// Draws the program's pictures into PNG files: the banner, the program icon in several sizes
// and the four status plates of the port panel. The files are stored in the repository, so the
// program shows the same pictures on a system without a Chinese font; run this again (target
// gui_artwork) only to change them.
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cstdio>

namespace {

QFont Font(const QString &family, int pixels, bool bold = false) {
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

// The icon's glyph: a chip with pins on a rounded blue tile, a green arrow writing into it.
void DrawIcon(QPainter &p, const QRectF &r) {
    const double s = r.width() / 256.0;
    auto at = [&](double x, double y) { return QPointF(r.left() + x * s, r.top() + y * s); };
    QLinearGradient tile(at(0, 0), at(0, 256));
    tile.setColorAt(0, QColor(0x2A, 0x6F, 0xD6));
    tile.setColorAt(1, QColor(0x0E, 0x2F, 0x66));
    QPainterPath rounded;
    rounded.addRoundedRect(QRectF(at(8, 8), at(248, 248)), 44 * s, 44 * s);
    p.fillPath(rounded, tile);
    p.setPen(QPen(QColor(255, 255, 255, 60), 3 * s));
    p.setBrush(Qt::NoBrush);
    p.drawPath(rounded);

    // Pins on four sides.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xDC, 0xE6, 0xF5));
    for (int i = 0; i < 4; ++i) {
        const double o = 84 + i * 26;
        p.drawRoundedRect(QRectF(at(o, 46), at(o + 12, 74)), 3 * s, 3 * s);
        p.drawRoundedRect(QRectF(at(o, 182), at(o + 12, 210)), 3 * s, 3 * s);
        p.drawRoundedRect(QRectF(at(46, o), at(74, o + 12)), 3 * s, 3 * s);
        p.drawRoundedRect(QRectF(at(182, o), at(210, o + 12)), 3 * s, 3 * s);
    }
    // Chip body.
    QLinearGradient body(at(0, 70), at(0, 186));
    body.setColorAt(0, QColor(0x33, 0x3B, 0x48));
    body.setColorAt(1, QColor(0x1A, 0x1F, 0x27));
    p.setBrush(body);
    p.setPen(QPen(QColor(0xDC, 0xE6, 0xF5), 4 * s));
    p.drawRoundedRect(QRectF(at(70, 70), at(186, 186)), 14 * s, 14 * s);
    // Arrow into the chip: the write.
    QPainterPath arrow;
    arrow.moveTo(at(128, 88));
    arrow.lineTo(at(128, 142));
    p.setPen(QPen(QColor(0x4C, 0xD9, 0x64), 16 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(arrow);
    QPainterPath head;
    head.moveTo(at(100, 128));
    head.lineTo(at(156, 128));
    head.lineTo(at(128, 166));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x4C, 0xD9, 0x64));
    p.drawPath(head);
}

QImage Icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawIcon(p, QRectF(0, 0, size, size));
    return image;
}

QImage Banner() {
    QImage image(1134, 174, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 1134, 174);
    sky.setColorAt(0, QColor(0x0B, 0x25, 0x52));
    sky.setColorAt(0.6, QColor(0x15, 0x4A, 0x9A));
    sky.setColorAt(1, QColor(0x1E, 0x6F, 0xD0));
    p.fillRect(image.rect(), sky);

    // Circuit traces across the right part, faint.
    p.setPen(QPen(QColor(255, 255, 255, 38), 2));
    for (int i = 0; i < 9; ++i) {
        const double y = 18 + i * 18;
        const double x0 = 560 + (i % 3) * 40;
        QPainterPath trace;
        trace.moveTo(x0, y);
        trace.lineTo(x0 + 140 + i * 9, y);
        trace.lineTo(x0 + 160 + i * 9, y + ((i % 2) ? 18 : -18));
        trace.lineTo(1134, y + ((i % 2) ? 18 : -18));
        p.drawPath(trace);
        p.setBrush(QColor(255, 255, 255, 70));
        p.drawEllipse(QPointF(x0, y), 4, 4);
        p.setBrush(Qt::NoBrush);
    }
    // Ports: five small plates, the panel's cells in miniature.
    for (int i = 0; i < 5; ++i) {
        const QRectF cell(760 + i * 46, 112, 36, 24);
        p.setPen(Qt::NoPen);
        p.setBrush(i == 3 ? QColor(0xE5, 0x39, 0x35, 200) : QColor(0x43, 0xA0, 0x47, 200));
        p.drawRoundedRect(cell, 5, 5);
        p.setBrush(QColor(0xDC, 0xDC, 0xDC, 200));
        p.drawRect(QRectF(cell.left(), cell.bottom() + 6, cell.width(), 5));
        p.setBrush(i == 3 ? QColor(0xE5, 0x39, 0x35) : QColor(0x4C, 0xD9, 0x64));
        p.drawRect(QRectF(cell.left(), cell.bottom() + 6, i == 3 ? 14 : cell.width(), 5));
    }

    DrawIcon(p, QRectF(26, 23, 128, 128));
    p.setPen(Qt::white);
    p.setFont(Font("DejaVu Sans", 44, true));
    p.drawText(QPointF(182, 84), "Kelvra ATCmd Terminal");
    p.setPen(QColor(0xCF, 0xE0, 0xF7));
    p.setFont(Font("WenQuanYi Micro Hei", 24));
    p.drawText(QPointF(184, 128), QString::fromUtf8("扫描写入器 · 编辑命令列表 · 所有端口同时执行"));
    return image;
}

QImage Plate(const QColor &top, const QColor &bottom, const QString &english, const QString &chinese) {
    QImage image(87, 60, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 60);
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    QPainterPath plate;
    plate.addRoundedRect(QRectF(1.5, 1.5, 84, 57), 8, 8);
    p.fillPath(plate, fill);
    p.setPen(QPen(bottom.darker(130), 1));
    p.drawPath(plate);
    p.setPen(Qt::white);
    p.setFont(Font("DejaVu Sans Condensed", 13, true));
    p.drawText(QRectF(0, 6, 87, 22), Qt::AlignCenter, english);
    p.setFont(Font("WenQuanYi Micro Hei", 17));
    p.drawText(QRectF(0, 29, 87, 24), Qt::AlignCenter, chinese);
    return image;
}

bool Save(const QImage &image, const QString &path) {
    if (image.save(path)) {
        std::printf("%s\n", qPrintable(path));
        return true;
    }
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_artwork RESOURCE_DIR DESKTOP_DIR\n");
        return 2;
    }
    const QDir resources(QString::fromLocal8Bit(argv[1]));
    const QDir desktop(QString::fromLocal8Bit(argv[2]));
    const QColor green_top(0x4C, 0xAF, 0x50), green_bottom(0x2E, 0x7D, 0x32);
    const QColor red_top(0xEF, 0x53, 0x50), red_bottom(0xC6, 0x28, 0x28);
    bool ok = Save(Banner(), resources.filePath("banner.png"));
    ok = Save(Plate(green_top, green_bottom, "Connected", QString::fromUtf8("已连接")),
              resources.filePath("status_connected.png")) && ok;
    ok = Save(Plate(red_top, red_bottom, "Disconnect", QString::fromUtf8("未连接")),
              resources.filePath("status_disconnect.png")) && ok;
    ok = Save(Plate(red_top, red_bottom, "Failed", QString::fromUtf8("失败")), resources.filePath("status_failed.png")) && ok;
    ok = Save(Plate(green_top, green_bottom, "Succeed", QString::fromUtf8("成功")),
              resources.filePath("status_succeed.png")) && ok;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        ok = Save(Icon(size), resources.filePath(QString("icon_%1.png").arg(size))) && ok;
    }
    ok = Save(Icon(48), desktop.filePath("kelvra-atcmd-gui-48.png")) && ok;
    ok = Save(Icon(256), desktop.filePath("kelvra-atcmd-gui-256.png")) && ok;
    return ok ? 0 : 1;
}
