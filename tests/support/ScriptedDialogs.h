#pragma once

#include "app/Dialogs.h"

#include <QEventLoop>
#include <QList>
#include <QString>
#include <QTimer>

#include <functional>

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
        QWidget *owner; // valid only while the box is up (in whileShown)
    };

    ScriptedDialogs() { setDialogs(this); }
    ~ScriptedDialogs() override { setDialogs(nullptr); }

    QList<bool> answers;   // consumed in order; No once exhausted
    QList<Shown> shown;
    // Runs while a box is up, as a user reading it: it may wait (readFor) and look around.
    std::function<void(const Shown &)> whileShown;

    // Lets the program run for `ms` inside the box, as a real box's own event loop does.
    // (QTest::qWait also runs deferred deletions, which a box's loop leaves for later.)
    static void readFor(int ms)
    {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }

    bool askYesNo(QWidget *owner, const QString &caption, const QString &text, QMessageBox::Icon icon) override
    {
        show({true, owner != nullptr, caption, text, icon, owner});
        return answers.isEmpty() ? false : answers.takeFirst();
    }
    void inform(QWidget *owner, const QString &caption, const QString &text, QMessageBox::Icon icon) override
    {
        show({false, owner != nullptr, caption, text, icon, owner});
    }

private:
    void show(const Shown &box)
    {
        shown.append(box);
        if (whileShown)
            whileShown(box);
    }
};

} // namespace chongma::test
