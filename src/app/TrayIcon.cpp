#include "app/TrayIcon.h"

#include "app/BuildInfo.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace orvel {

namespace {

// A bulb on a 24-unit grid: the glass, the base below it.
QPainterPath glass()
{
    QPainterPath path;
    path.moveTo(12, 2.5);
    path.cubicTo(7.8, 2.5, 4.8, 5.6, 4.8, 9.4);
    path.cubicTo(4.8, 11.8, 5.9, 13.4, 7.1, 14.8);
    path.cubicTo(8.1, 15.9, 8.6, 16.8, 8.6, 18.0);
    path.lineTo(15.4, 18.0);
    path.cubicTo(15.4, 16.8, 15.9, 15.9, 16.9, 14.8);
    path.cubicTo(18.1, 13.4, 19.2, 11.8, 19.2, 9.4);
    path.cubicTo(19.2, 5.6, 16.2, 2.5, 12, 2.5);
    path.closeSubpath();
    return path;
}

QPixmap drawBulb(int size, const QColor& body, qreal opacity)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacity);
    painter.scale(size / 24.0, size / 24.0);
    const QColor outline(24, 24, 28, 230);
    const qreal stroke = std::max(1.3, 24.0 / size * 1.1);
    painter.setPen(QPen(outline, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(body);
    painter.drawPath(glass());
    // The base: two light bars with the same outline.
    painter.setBrush(QColor(236, 236, 240));
    painter.drawRoundedRect(QRectF(8.4, 18.6, 7.2, 2.0), 1.0, 1.0);
    painter.drawRoundedRect(QRectF(9.4, 20.8, 5.2, 1.8), 0.9, 0.9);
    return pixmap;
}

} // namespace

QColor ruleColour(double hue, double saturation, double value)
{
    if (hue < 0)
        return QColor(255, 214, 120); // never set: a warm white
    const int h = std::clamp(int(hue / 65536.0 * 360.0), 0, 359);
    const int s = std::clamp(int(saturation / 254.0 * 255.0), 0, 255);
    // Dark colours would vanish on a dark panel; the icon shows the hue, not the dimming.
    const int v = std::clamp(int(value / 254.0 * 255.0), 150, 255);
    return QColor::fromHsv(h, s, v);
}

QIcon trayIcon(TrayState state, const QColor& colour)
{
    QIcon drawn;
    const QColor body = state == TrayState::LightsOn && colour.isValid() ? colour : QColor(244, 244, 246);
    const qreal opacity = state == TrayState::NotConnected ? 0.45 : 1.0;
    for (int size : {16, 22, 24, 32, 48, 64})
        drawn.addPixmap(drawBulb(size, body, opacity));
    if (state != TrayState::Normal)
        return drawn;
    return QIcon::fromTheme(QString::fromLatin1(build::appId) + QStringLiteral("-tray"), drawn);
}

} // namespace orvel
