#pragma once

#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace chongma::test {

// Empty when every caption of a shown dialog or box has room, else what is cramped: its title
// in a window manager's title bar (a bold font half as big again as its own, beside an icon and
// three buttons of 24 px), each button's text inside its border, each button clear of the edge.
inline QString crampedCaptions(const QWidget *window)
{
    QStringList cramped;
    QFont titleFont = window->font();
    titleFont.setBold(true);
    titleFont.setPixelSize(QFontInfo(window->font()).pixelSize() * 3 / 2);
    const int titleBar = QFontMetrics(titleFont).horizontalAdvance(window->windowTitle()) + 4 * 24;
    if (window->width() < titleBar)
        cramped << QStringLiteral("window %1 px wide, its title needs %2").arg(window->width()).arg(titleBar);
    for (const QPushButton *button : window->findChildren<QPushButton *>()) {
        if (!button->isVisible())
            continue;
        QString text = button->text();
        text.remove(QLatin1Char('&'));
        const QFontMetrics metrics(button->font());
        const QString name = QStringLiteral("button %1").arg(text);
        if (button->width() < metrics.horizontalAdvance(text) + 16 || button->height() < metrics.height() + 6)
            cramped << QStringLiteral("%1: %2x%3 px").arg(name).arg(button->width()).arg(button->height());
        const QRect r(button->mapTo(window, QPoint()), button->size());
        if (r.left() < 6 || r.top() < 6 || window->width() - 1 - r.right() < 6 || window->height() - 1 - r.bottom() < 6)
            cramped << QStringLiteral("%1 at the window's edge").arg(name);
    }
    return cramped.join(QStringLiteral("; "));
}

} // namespace chongma::test
