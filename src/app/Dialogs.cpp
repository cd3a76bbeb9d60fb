#include "app/Dialogs.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QPushButton>
#include <QSpacerItem>

#include <algorithm>

namespace chongma {

namespace {
Dialogs *g_override = nullptr;

// Qt sizes a box by its text and its own guess at a title font: "确定关闭吗？" made a box 132 px
// wide whose title bar showed "提…". A window manager's title is often bold and larger, beside
// its icon and three buttons: the box is made wide enough for twice the caption and those.
void fitCaption(QMessageBox &box, const QString &caption)
{
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    if (!grid)
        return;
    const int width = std::max(240, 2 * QFontMetrics(box.font()).horizontalAdvance(caption) + 150);
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
}
} // namespace

bool WidgetDialogs::askYesNo(QWidget *owner, const QString &caption, const QString &text,
                             QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::Yes);
    fitCaption(box, caption);
    return box.exec() == QMessageBox::Yes;
}

void WidgetDialogs::inform(QWidget *owner, const QString &caption, const QString &text,
                           QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    fitCaption(box, caption);
    box.exec();
}

Dialogs &dialogs()
{
    static WidgetDialogs real;
    return g_override ? *g_override : real;
}

void setDialogs(Dialogs *replacement) { g_override = replacement; }

} // namespace chongma
