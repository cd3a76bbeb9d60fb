#include "app/Dialogs.h"
#include "app/FrmMain.h"
#include "support/Captions.h"

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QtTest>

using chongma::TFrmMain;

namespace {

// Answers Yes/No boxes from a script and records every box asked.
class ScriptedDialogs : public chongma::Dialogs {
public:
    struct Box {
        QWidget *owner;
        QString caption;
        QString text;
        QMessageBox::Icon icon;
    };
    QList<bool> answers; // taken from the front; No once they run out
    QList<Box> boxes;

    bool askYesNo(QWidget *owner, const QString &caption, const QString &text,
                  QMessageBox::Icon icon) override
    {
        boxes.append({owner, caption, text, icon});
        return answers.isEmpty() ? false : answers.takeFirst();
    }
    void inform(QWidget *owner, const QString &caption, const QString &text,
                QMessageBox::Icon icon) override
    {
        boxes.append({owner, caption, text, icon});
    }
};

QString captionOf(const QWidget *w)
{
    if (auto *g = qobject_cast<const QGroupBox *>(w))
        return g->title();
    if (auto *l = qobject_cast<const QLabel *>(w))
        return l->text();
    if (auto *b = qobject_cast<const QPushButton *>(w))
        return b->text();
    if (auto *m = qobject_cast<const QPlainTextEdit *>(w))
        return m->toPlainText();
    return QString();
}

// Pixels of `area` that differ strongly from the background, taken per row at `refX`
// (a column known to hold only background on every row of the area).
int inkPixels(const QImage &img, const QRect &area, int refX)
{
    int ink = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const QColor ref = img.pixelColor(refX, y);
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = img.pixelColor(x, y);
            const int diff = std::max({std::abs(c.red() - ref.red()),
                                       std::abs(c.green() - ref.green()),
                                       std::abs(c.blue() - ref.blue())});
            if (diff > 128)
                ++ink;
        }
    }
    return ink;
}

const QStringList kControlNames = {
    "grp2",  "lblNum", "lblSum",  "lbl2",     "lbl3",       "lbl4",      "lblError",
    "Label1", "lblExist", "lblWdr", "Label3", "btnTest",    "btnClear",  "pnl1",
    "grp1",  "mmoLog", "grp3",    "mmoError", "btnChongMa", "mmoDiskID", "Button1",
};

} // namespace

class TstFrmMain : public QObject {
    Q_OBJECT

public:
    static void initMain();

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window();
    void centredWhenShown();
    void controls_data();
    void controls();
    void creationOrder();
    void memos_data();
    void memos();
    void panelCoversCounters();
    void tabOrder();
    void enterPressesTheFocusedButton_data();
    void enterPressesTheFocusedButton();
    void addLine_data();
    void addLine();
    void addLogFromWorkerThread();
    void clearRunLog();
    void formCreate();
    void closeQuery_data();
    void closeQuery();
    void boxesHaveRoomForTheirCaptions_data();
    void boxesHaveRoomForTheirCaptions();
    void render();

private:
    ScriptedDialogs m_dialogs;
};

void TstFrmMain::initMain()
{
    // Before QApplication exists: a private runtime folder keeps QStandardPaths quiet.
    static QTemporaryDir runtimeDir;
    if (runtimeDir.isValid()) {
        QFile::setPermissions(runtimeDir.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    }
}

void TstFrmMain::initTestCase()
{
    // Closing a window with Yes must not end the test run.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TstFrmMain::init()
{
    m_dialogs = ScriptedDialogs();
    chongma::setDialogs(&m_dialogs);
}

void TstFrmMain::cleanup() { chongma::setDialogs(nullptr); }

void TstFrmMain::window()
{
    TFrmMain w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QVERIFY(w.isWindow());
    QCOMPARE(w.size(), QSize(665, 467));
    QCOMPARE(w.minimumSize(), QSize(665, 467));
    QCOMPARE(w.maximumSize(), QSize(665, 467));
    QCOMPARE(w.windowTitle(), QStringLiteral("清除重码 V2.0 TOVA"));

    // A window, not a dialog: it shows in task bars and Alt+Tab.
    QCOMPARE(w.windowType(), Qt::Window);
    const Qt::WindowFlags flags = w.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowTitleHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);

    QCOMPARE(w.font().pixelSize(), 11);
    QCOMPARE(w.font().families(),
             QStringList({"MS Sans Serif", "SimSun", "WenQuanYi Micro Hei"}));
    // Controls inherit it: nothing (the skin included) sets a font of its own.
    for (const QString &name : kControlNames) {
        auto *c = w.findChild<QWidget *>(name);
        QVERIFY2(c, qPrintable(name));
        QCOMPARE(c->font(), w.font());
    }
}

void TstFrmMain::centredWhenShown()
{
    TFrmMain w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint screenCentre = w.screen()->availableGeometry().center();
    const QPoint windowCentre = w.frameGeometry().center();
    QVERIFY2((windowCentre - screenCentre).manhattanLength() <= 2,
             qPrintable(QStringLiteral("window centre %1,%2, screen centre %3,%4")
                            .arg(windowCentre.x()).arg(windowCentre.y())
                            .arg(screenCentre.x()).arg(screenCentre.y())));
}

void TstFrmMain::controls_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("hidden");  // hidden itself, not only through its parent
    QTest::addColumn<bool>("visible"); // seen on the shown window
    QTest::addColumn<int>("alignment"); // labels only; 0 elsewhere

    const int left = int(Qt::AlignLeft | Qt::AlignTop);
    const int centre = int(Qt::AlignHCenter | Qt::AlignTop);
    auto row = [](const char *name, const char *cls, const char *parent, QRect r,
                  const QString &caption, bool visible, int alignment) {
        const bool hidden = qstrcmp(name, "grp2") == 0 || qstrcmp(name, "btnTest") == 0;
        QTest::newRow(name) << QString::fromLatin1(cls) << QString::fromLatin1(parent) << r
                            << caption << hidden << visible << alignment;
    };
    row("grp2", "QGroupBox", "", QRect(0, 0, 249, 241), "", false, 0);
    row("lblNum", "QLabel", "grp2", QRect(120, 40, 97, 13), "0", false, centre);
    row("lblSum", "QLabel", "grp2", QRect(120, 16, 97, 13), "0", false, centre);
    row("lbl2", "QLabel", "grp2", QRect(16, 16, 81, 13), "总记录数：", false, left);
    row("lbl3", "QLabel", "grp2", QRect(16, 40, 73, 13), "已导入数：", false, left);
    row("lbl4", "QLabel", "grp2", QRect(16, 112, 97, 13), "格式错误：", false, left);
    row("lblError", "QLabel", "grp2", QRect(120, 112, 97, 13), "0", false, centre);
    row("Label1", "QLabel", "grp2", QRect(16, 64, 73, 13), "已存在数：", false, left);
    row("lblExist", "QLabel", "grp2", QRect(120, 64, 97, 13), "0", false, centre);
    row("lblWdr", "QLabel", "grp2", QRect(120, 88, 97, 13), "0", false, centre);
    row("Label3", "QLabel", "grp2", QRect(16, 88, 89, 13), "未导入数：", false, left);
    row("btnTest", "QPushButton", "grp2", QRect(17, 181, 75, 25), "导入", false, 0);
    row("btnClear", "QPushButton", "grp2", QRect(120, 184, 75, 25), "清运行日志", false, 0);
    row("pnl1", "QFrame", "", QRect(0, 0, 665, 467), "", true, 0);
    row("grp1", "QGroupBox", "pnl1", QRect(265, 232, 387, 223), "运行日志", true, 0);
    row("mmoLog", "QPlainTextEdit", "grp1", QRect(2, 15, 383, 206), "", true, 0);
    row("grp3", "QGroupBox", "pnl1", QRect(265, 9, 387, 215), "重码条码", true, 0);
    row("mmoError", "QPlainTextEdit", "grp3", QRect(2, 15, 383, 198), "", true, 0);
    row("btnChongMa", "QPushButton", "pnl1", QRect(16, 19, 217, 25), "查找重码", true, 0);
    row("mmoDiskID", "QPlainTextEdit", "pnl1", QRect(16, 104, 233, 350), "", true, 0);
    row("Button1", "QPushButton", "pnl1", QRect(16, 60, 217, 25), "清除重码", true, 0);
}

void TstFrmMain::controls()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(bool, hidden);
    QFETCH(bool, visible);
    QFETCH(int, alignment);

    // Checked on a shown, skinned window: neither showing nor the skin may move anything.
    TFrmMain w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QWidget *> found = w.findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *c = found.first();

    QCOMPARE(QString::fromLatin1(c->metaObject()->className()), className);
    QWidget *expectedParent = parentName.isEmpty() ? static_cast<QWidget *>(&w)
                                                   : w.findChild<QWidget *>(parentName);
    QVERIFY(expectedParent);
    QCOMPARE(c->parentWidget(), expectedParent);
    QCOMPARE(c->geometry(), geometry);
    QCOMPARE(captionOf(c), caption);
    QCOMPARE(c->isHidden(), hidden);
    QCOMPARE(c->isVisibleTo(&w), visible);
    QCOMPARE(c->isVisible(), visible);

    if (auto *label = qobject_cast<QLabel *>(c)) {
        QCOMPARE(int(label->alignment()), alignment);
        QVERIFY(!label->wordWrap());
    } else {
        QCOMPARE(alignment, 0);
    }
}

void TstFrmMain::creationOrder()
{
    // findChildren walks depth first in creation order, which is the table's order.
    TFrmMain w;
    QStringList named;
    for (QWidget *c : w.findChildren<QWidget *>())
        if (kControlNames.contains(c->objectName()))
            named << c->objectName();
    QCOMPARE(named, kControlNames);
}

void TstFrmMain::memos_data()
{
    QTest::addColumn<Qt::ScrollBarPolicy>("horizontal");
    QTest::addColumn<Qt::ScrollBarPolicy>("vertical");
    QTest::addColumn<QPlainTextEdit::LineWrapMode>("wrap");

    QTest::newRow("mmoLog") << Qt::ScrollBarAlwaysOn << Qt::ScrollBarAlwaysOn
                            << QPlainTextEdit::NoWrap;
    QTest::newRow("mmoError") << Qt::ScrollBarAlwaysOn << Qt::ScrollBarAlwaysOn
                              << QPlainTextEdit::NoWrap;
    QTest::newRow("mmoDiskID") << Qt::ScrollBarAlwaysOff << Qt::ScrollBarAlwaysOn
                               << QPlainTextEdit::WidgetWidth;
}

void TstFrmMain::memos()
{
    QFETCH(Qt::ScrollBarPolicy, horizontal);
    QFETCH(Qt::ScrollBarPolicy, vertical);
    QFETCH(QPlainTextEdit::LineWrapMode, wrap);

    TFrmMain w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));

    auto *memo = w.findChild<QPlainTextEdit *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(memo);
    QCOMPARE(memo->horizontalScrollBarPolicy(), horizontal);
    QCOMPARE(memo->verticalScrollBarPolicy(), vertical);
    QCOMPARE(memo->lineWrapMode(), wrap);
    QCOMPARE(memo->horizontalScrollBar()->isVisibleTo(memo),
             horizontal == Qt::ScrollBarAlwaysOn);
    QVERIFY(memo->verticalScrollBar()->isVisibleTo(memo));

    // Read-only: typing into it changes nothing.
    QVERIFY(memo->isReadOnly());
    memo->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), memo);
    QTest::keyClicks(memo, QStringLiteral("abc"));
    QTest::keyClick(memo, Qt::Key_Return);
    QCOMPARE(memo->toPlainText(), QString());

    // The keyboard still reaches both ends of a long memo.
    QStringList lines;
    for (int i = 1; i <= 300; ++i)
        lines << QString::number(i);
    memo->setPlainText(lines.join(u'\n'));
    const QRect view = memo->viewport()->rect();
    const auto lineAt = [memo](QPoint where) { return memo->cursorForPosition(where).blockNumber(); };
    QCOMPARE(lineAt(view.topLeft() + QPoint(2, 2)), 0);
    QVERIFY(lineAt(view.bottomLeft() + QPoint(2, -2)) < 100);
    QTest::keyClick(memo, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(lineAt(view.bottomLeft() + QPoint(2, -2)), 299); // the last line in view
    QTest::keyClick(memo, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(lineAt(view.topLeft() + QPoint(2, 2)), 0);
    QCOMPARE(memo->toPlainText(), lines.join(u'\n'));
}

void TstFrmMain::panelCoversCounters()
{
    TFrmMain w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Even if the counters group were shown, pnl1 lies over it.
    w.grp2->show();
    w.btnClear->show();
    const QPoint clearCentre = w.btnClear->mapTo(&w, w.btnClear->rect().center());
    QWidget *hit = w.childAt(clearCentre);
    QVERIFY(hit);
    QVERIFY2(hit == w.pnl1 || w.pnl1->isAncestorOf(hit), qPrintable(hit->objectName()));
}

void TstFrmMain::tabOrder()
{
    TFrmMain w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));

    // The chain of controls that Tab can reach, starting from the window.
    QList<QWidget *> chain;
    for (QWidget *c = w.nextInFocusChain(); c != &w; c = c->nextInFocusChain()) {
        if ((c->focusPolicy() & Qt::TabFocus) && c->isVisibleTo(&w) && c->isEnabled()
            && !chain.contains(c))
            chain << c;
    }
    const QList<QWidget *> expected = {w.mmoLog, w.mmoError, w.btnChongMa, w.mmoDiskID,
                                       w.Button1};
    QCOMPARE(chain, expected);

    // And the keyboard follows it, read-only memos included, wrapping at the end.
    w.mmoLog->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(w.mmoLog));
    for (int i = 1; i <= expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), expected.at(i % expected.size()));
    }
    // Hidden buttons inside grp2 keep their own order.
    QCOMPARE(w.btnTest->nextInFocusChain(), static_cast<QWidget *>(w.btnClear));
}

void TstFrmMain::enterPressesTheFocusedButton_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("clicks");
    QTest::newRow("Enter on 查找重码") << "btnChongMa" << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
    QTest::newRow("keypad Enter on 查找重码") << "btnChongMa" << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1;
    QTest::newRow("Enter on 清除重码") << "Button1" << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
    QTest::newRow("keypad Enter on 清除重码") << "Button1" << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1;
    QTest::newRow("Space, as before") << "Button1" << int(Qt::Key_Space) << int(Qt::NoModifier) << 1;
    QTest::newRow("Ctrl+Enter is no press") << "Button1" << int(Qt::Key_Return) << int(Qt::ControlModifier) << 0;
}

void TstFrmMain::enterPressesTheFocusedButton()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, clicks);

    TFrmMain w; // no session: a press runs no job
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto *b = w.findChild<QPushButton *>(button);
    QVERIFY(b);
    int clicked = 0;
    connect(b, &QPushButton::clicked, this, [&clicked] { ++clicked; });
    b->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(b));
    QTest::keyClick(b, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(clicked, clicks);
}

void TstFrmMain::addLine_data()
{
    QTest::addColumn<bool>("toError");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("expected");

    QTest::newRow("log, one line") << false << QStringList{"开始"} << "开始";
    QTest::newRow("log, two lines") << false << QStringList{"开始", "完成"} << "开始\n完成";
    QTest::newRow("log, empty then text") << false << QStringList{"", "x"} << "\nx";
    QTest::newRow("log, two empty") << false << QStringList{"", ""} << "\n";
    QTest::newRow("error, one line") << true << QStringList{"6901234567890"} << "6901234567890";
    QTest::newRow("error, two lines") << true << QStringList{"A1", "A1"} << "A1\nA1";
    QTest::newRow("error, empty then text") << true << QStringList{"", "B2"} << "\nB2";
}

void TstFrmMain::addLine()
{
    QFETCH(bool, toError);
    QFETCH(QStringList, lines);
    QFETCH(QString, expected);

    TFrmMain w;
    QPlainTextEdit *target = toError ? w.mmoError : w.mmoLog;
    QPlainTextEdit *other = toError ? w.mmoLog : w.mmoError;
    for (int i = 0; i < lines.size(); ++i) {
        toError ? w.AddError(lines.at(i)) : w.AddLog(lines.at(i));
        QCOMPARE(target->document()->blockCount(), i + 1);
    }
    QCOMPARE(target->toPlainText(), expected);
    QCOMPARE(other->toPlainText(), QString());
    QCOMPARE(w.mmoDiskID->toPlainText(), QString());
}

void TstFrmMain::addLogFromWorkerThread()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    TFrmMain w;
    w.AddLog(QStringLiteral("主线程"));

    QThread *changedOn = nullptr;
    connect(w.mmoLog->document(), &QTextDocument::contentsChanged, this,
            [&changedOn] { changedOn = QThread::currentThread(); }, Qt::DirectConnection);

    QThread *worker = QThread::create([&w] {
        w.AddLog(QStringLiteral("线程一"));
        w.AddLog(QStringLiteral("线程二"));
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;

    QTRY_COMPARE(w.mmoLog->toPlainText(), QStringLiteral("主线程\n线程一\n线程二"));
    QCOMPARE(changedOn, QThread::currentThread());
}

void TstFrmMain::clearRunLog()
{
    TFrmMain w;
    w.AddLog(QStringLiteral("一"));
    w.AddLog(QStringLiteral("二"));
    w.AddError(QStringLiteral("重码"));
    w.btnClear->click();
    QCOMPARE(w.mmoLog->toPlainText(), QString());
    QCOMPARE(w.mmoError->toPlainText(), QStringLiteral("重码"));
    // After clearing, the next line is again the only one.
    w.AddLog(QStringLiteral("三"));
    QCOMPARE(w.mmoLog->document()->blockCount(), 1);
    // Also after an empty line was the only one.
    w.btnClear->click();
    w.AddLog(QString());
    w.btnClear->click();
    w.AddLog(QStringLiteral("四"));
    QCOMPARE(w.mmoLog->toPlainText(), QStringLiteral("四"));
}

void TstFrmMain::formCreate()
{
    TFrmMain w;
    QVERIFY(!w.FBusy);
    QVERIFY(w.FItemList.isEmpty());
    QVERIFY(w.FSpareList.isEmpty());
    QVERIFY(w.FDupIDList.isEmpty());
    QVERIFY(w.FSourceFile.isEmpty());

    w.FBusy = true;
    w.FItemList << "a";
    w.FSpareList << "b";
    w.FDupIDList << "1" << "1";
    w.FormDestroy();
    QVERIFY(w.FItemList.isEmpty());
    QVERIFY(w.FSpareList.isEmpty());
    QVERIFY(w.FDupIDList.isEmpty());
    w.FItemList << "c";
    w.FormCreate();
    QVERIFY(!w.FBusy);
    QVERIFY(w.FItemList.isEmpty());
}

void TstFrmMain::closeQuery_data()
{
    QTest::addColumn<bool>("answer");
    QTest::addColumn<bool>("busy");

    QTest::newRow("No") << false << false;
    QTest::newRow("No while busy") << false << true;
    QTest::newRow("Yes") << true << false;
    QTest::newRow("Yes while busy") << true << true;
}

void TstFrmMain::closeQuery()
{
    QFETCH(bool, answer);
    QFETCH(bool, busy);

    TFrmMain w;
    w.FBusy = busy;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.AddLog(QStringLiteral("日志一"));
    w.AddLog(QStringLiteral("日志二"));
    w.AddError(QStringLiteral("6900000000001"));
    w.mmoDiskID->appendPlainText(QStringLiteral("42"));

    m_dialogs.answers = {answer};
    // While a job runs, Yes closes once the job has ended (and its ending has run).
    QCOMPARE(w.close(), answer && !busy);

    QCOMPARE(m_dialogs.boxes.size(), 1);
    const ScriptedDialogs::Box box = m_dialogs.boxes.first();
    QCOMPARE(box.owner, static_cast<QWidget *>(&w));
    QCOMPARE(box.caption, QStringLiteral("提示信息"));
    QCOMPARE(box.text, QStringLiteral("确定关闭吗？"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);

    QCOMPARE(w.isVisible(), !answer || busy);
    QCOMPARE(w.mmoLog->toPlainText(), QStringLiteral("日志一\n日志二"));
    QCOMPARE(w.mmoError->toPlainText(), QStringLiteral("6900000000001"));
    QCOMPARE(w.mmoDiskID->toPlainText(), QStringLiteral("42"));
    QCOMPARE(w.FBusy, busy);

    if (!answer) {
        // Asked again on the next attempt, and Yes then closes.
        w.FBusy = false;
        m_dialogs.answers = {true};
        QVERIFY(w.close());
        QCOMPARE(m_dialogs.boxes.size(), 2);
        QVERIFY(!w.isVisible());
    } else if (busy) {
        // Not asked twice: once idle, the confirmed close goes through.
        w.FBusy = false;
        QVERIFY(w.close());
        QCOMPARE(m_dialogs.boxes.size(), 1);
        QVERIFY(!w.isVisible());
    }
}

void TstFrmMain::boxesHaveRoomForTheirCaptions_data()
{
    QTest::addColumn<bool>("question");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("text");
    QTest::newRow("close question") << true << QStringLiteral("提示信息") << QStringLiteral("确定关闭吗？");
    QTest::newRow("removal question") << true << QStringLiteral("提示信息")
                                      << QStringLiteral("2 个重码，确定清除重码吗？");
    QTest::newRow("error box") << false << QStringLiteral("chongma") << QStringLiteral("no such table: diskinfo.");
}

void TstFrmMain::boxesHaveRoomForTheirCaptions()
{
    QFETCH(bool, question);
    QFETCH(QString, caption);
    QFETCH(QString, text);
    chongma::setDialogs(nullptr); // the real boxes, skinned as the window's children
    TFrmMain w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QString cramped = QStringLiteral("no box shown");
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        cramped = chongma::test::crampedCaptions(box);
        box->button(question ? QMessageBox::No : QMessageBox::Ok)->click();
    });
    poll.start(20);
    chongma::WidgetDialogs real;
    if (question)
        QVERIFY(!real.askYesNo(&w, caption, text, QMessageBox::NoIcon));
    else
        real.inform(&w, caption, text, QMessageBox::Critical);
    QCOMPARE(cramped, QString());
}

void TstFrmMain::render()
{
    TFrmMain w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // The captions' characters must come from a real font, not the missing-glyph box.
    for (QWidget *c : {static_cast<QWidget *>(w.btnChongMa), static_cast<QWidget *>(w.Button1),
                       static_cast<QWidget *>(w.grp1), static_cast<QWidget *>(w.grp3)}) {
        const QFontMetrics fm(c->font());
        for (const QChar ch : captionOf(c))
            QVERIFY2(fm.inFont(ch), qPrintable(c->objectName() + u' ' + ch));
    }

    const QImage img = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(img.size(), w.size() * img.devicePixelRatio());
    QVERIFY(qFuzzyCompare(img.devicePixelRatio(), 1.0));
    const QString png = QDir(QCoreApplication::applicationDirPath()).filePath("frmmain.png");
    QVERIFY2(img.save(png), qPrintable(png));

    auto inWindow = [&w](QWidget *c) { return QRect(c->mapTo(&w, QPoint()), c->size()); };

    // Buttons: the middle band, against the button's own face near its left edge.
    for (QPushButton *b : {w.btnChongMa, w.Button1}) {
        const QRect r = inWindow(b);
        const QRect label(r.left() + 20, r.top() + 5, r.width() - 40, r.height() - 10);
        QVERIFY2(inkPixels(img, label, r.left() + 4) > 20, qPrintable(b->objectName()));
    }
    // Group titles: the strip above the memo, against the panel just left of the group.
    for (QGroupBox *g : {w.grp1, w.grp3}) {
        const QRect r = inWindow(g);
        const QRect title(r.left() + 4, r.top(), 100, 14);
        QVERIFY2(inkPixels(img, title, r.left() - 4) > 20, qPrintable(g->objectName()));
    }
    // The measure itself: an empty memo's inside shows no ink.
    const QRect ids = inWindow(w.mmoDiskID);
    QCOMPARE(inkPixels(img, QRect(ids.left() + 10, ids.top() + 10, 150, 100), ids.left() + 5), 0);
}

QTEST_MAIN(TstFrmMain)
#include "tst_frmmain.moc"
