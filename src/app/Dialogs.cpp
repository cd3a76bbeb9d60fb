#include "app/Dialogs.h"

#include <QPushButton>

namespace chongma {

namespace {
Dialogs *g_override = nullptr;
}

bool WidgetDialogs::askYesNo(QWidget *owner, const QString &caption, const QString &text,
                             QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void WidgetDialogs::inform(QWidget *owner, const QString &caption, const QString &text,
                           QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

Dialogs &dialogs()
{
    static WidgetDialogs real;
    return g_override ? *g_override : real;
}

void setDialogs(Dialogs *replacement) { g_override = replacement; }

} // namespace chongma
