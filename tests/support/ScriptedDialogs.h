#pragma once

#include "app/Dialogs.h"

#include <QList>
#include <QString>

namespace chongma::test {

// Answers message boxes from a script and records what each one showed.
class ScriptedDialogs : public Dialogs {
public:
    struct Shown {
        bool question;
        bool owned;
        QString caption;
        QString text;
        QMessageBox::Icon icon;
    };

    ScriptedDialogs() { setDialogs(this); }
    ~ScriptedDialogs() override { setDialogs(nullptr); }

    QList<bool> answers;   // consumed in order; No once exhausted
    QList<Shown> shown;

    bool askYesNo(QWidget *owner, const QString &caption, const QString &text, QMessageBox::Icon icon) override
    {
        shown.append({true, owner != nullptr, caption, text, icon});
        return answers.isEmpty() ? false : answers.takeFirst();
    }
    void inform(QWidget *owner, const QString &caption, const QString &text, QMessageBox::Icon icon) override
    {
        shown.append({false, owner != nullptr, caption, text, icon});
    }
};

} // namespace chongma::test
