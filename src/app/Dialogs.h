#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace chongma {

// Every message box of the program goes through here, so tests can answer them.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal box with Yes and No (Yes the default); true when the answer is Yes.
    // `owner` null: a box owned by no window.
    virtual bool askYesNo(QWidget *owner, const QString &caption, const QString &text,
                          QMessageBox::Icon icon) = 0;
    // A modal box with an OK button.
    virtual void inform(QWidget *owner, const QString &caption, const QString &text,
                        QMessageBox::Icon icon) = 0;
};

// Real message boxes.
class WidgetDialogs : public Dialogs {
public:
    bool askYesNo(QWidget *owner, const QString &caption, const QString &text,
                  QMessageBox::Icon icon) override;
    void inform(QWidget *owner, const QString &caption, const QString &text,
                QMessageBox::Icon icon) override;
};

// The dialogs in use; WidgetDialogs unless a test installed its own.
Dialogs &dialogs();
void setDialogs(Dialogs *replacement); // nullptr restores the real boxes

} // namespace chongma
