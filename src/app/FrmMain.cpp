#include "app/FrmMain.h"

#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/Skin.h"
#include "data/Error.h"
#include "data/Session.h"
#include "data/SessionHost.h"
#include "data/ThreadHandoff.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/DuplicateSearch.h"
#include "watch/Config.h"
#include "watch/RunThread.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>

namespace chongma {

namespace {

template <typename W>
W *makeControl(QWidget *parent, const char *name, int left, int top, int width, int height)
{
    auto *w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(left, top, width, height);
    return w;
}

QLabel *makeLabel(QWidget *parent, const char *name, int left, int top, int width, int height,
                  const QString &text, bool centred)
{
    auto *label = makeControl<QLabel>(parent, name, left, top, width, height);
    label->setText(text);
    // Text starts at the top of the label; the counters are centred across it.
    label->setAlignment((centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
    return label;
}

QPushButton *makeButton(QWidget *parent, const char *name, int left, int top, int width,
                        int height, const QString &text)
{
    auto *button = makeControl<QPushButton>(parent, name, left, top, width, height);
    button->setText(text);
    button->setAutoDefault(false);
    return button;
}

// Read-only memo. The two log memos scroll both ways and never wrap; the id list only
// scrolls vertically, so it wraps instead of hiding the end of a long line.
QPlainTextEdit *makeMemo(QWidget *parent, const char *name, int left, int top, int width,
                         int height, bool horizontalBar)
{
    auto *memo = makeControl<QPlainTextEdit>(parent, name, left, top, width, height);
    memo->setReadOnly(true);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(horizontalBar ? Qt::ScrollBarAlwaysOn
                                                     : Qt::ScrollBarAlwaysOff);
    memo->setLineWrapMode(horizontalBar ? QPlainTextEdit::NoWrap
                                        : QPlainTextEdit::WidgetWidth);
    return memo;
}

// Marks a first line that is empty: an empty document cannot tell "no lines" from
// "one empty line" by itself, and the next line must still go below it.
constexpr int kEmptyFirstLine = 1;

void appendLine(QPlainTextEdit *memo, const QString &text)
{
    QTextDocument *doc = memo->document();
    if (doc->isEmpty() && doc->firstBlock().userState() == kEmptyFirstLine) {
        QTextCursor cursor(doc);
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock();
        cursor.insertText(text);
        return;
    }
    memo->appendPlainText(text);
    if (doc->isEmpty())
        doc->firstBlock().setUserState(kEmptyFirstLine);
}

// Lines from a worker thread are queued to the memo's thread, keeping their order.
void addLine(QPlainTextEdit *memo, const QString &text)
{
    if (QThread::currentThread() != memo->thread()) {
        QMetaObject::invokeMethod(memo, [memo, text] { appendLine(memo, text); },
                                  Qt::QueuedConnection);
        return;
    }
    appendLine(memo, text);
}

} // namespace

TFrmMain::TFrmMain(QWidget *parent) : TFrmMain(nullptr, parent) {}

TFrmMain::TFrmMain(SessionHost *session, QWidget *parent)
    // An ordinary top-level window (in task bars and Alt+Tab, unlike a dialog) with a fixed
    // frame: title and close button only.
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(QStringLiteral("清除重码 V2.0 TOVA"));

    // 8-point MS Sans Serif on the original platform; SimSun / WenQuanYi carry the
    // Chinese captions where it has no glyphs or does not exist.
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("SimSun"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(11);
    setFont(font);

    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    setFixedSize(665, 467);

    CreateControls();
    applySkin(this);

    connect(btnClear, &QPushButton::clicked, this, &TFrmMain::btnClearClick);
    connect(btnChongMa, &QPushButton::clicked, this, &TFrmMain::btnChongMaClick);
    connect(Button1, &QPushButton::clicked, this, &TFrmMain::Button1Click);
    FSession = session;
    tmrCycle = new QTimer(this);
    tmrCycle->setObjectName(QStringLiteral("tmrCycle"));
    connect(tmrCycle, &QTimer::timeout, this, &TFrmMain::tmrCycleTimer);
    connect(btnTest, &QPushButton::clicked, this, &TFrmMain::btnTestClick);
    FDelLogFile = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("del.log"));

#ifndef QT_NO_SESSIONMANAGER
    // The close question also answers a log-off or shutdown.
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::commitDataRequest, this, &TFrmMain::SessionEndQuery,
                Qt::DirectConnection);
#endif

    FormCreate();
}

TFrmMain::~TFrmMain()
{
    // A job still running on the database thread reports to this window: let it end first.
    WaitForOperation();
    FormDestroy();
}

void TFrmMain::CreateControls()
{
    grp2 = makeControl<QGroupBox>(this, "grp2", 0, 0, 249, 241);
    lblNum = makeLabel(grp2, "lblNum", 120, 40, 97, 13, QStringLiteral("0"), true);
    lblSum = makeLabel(grp2, "lblSum", 120, 16, 97, 13, QStringLiteral("0"), true);
    lbl2 = makeLabel(grp2, "lbl2", 16, 16, 81, 13, QStringLiteral("总记录数："), false);
    lbl3 = makeLabel(grp2, "lbl3", 16, 40, 73, 13, QStringLiteral("已导入数："), false);
    lbl4 = makeLabel(grp2, "lbl4", 16, 112, 97, 13, QStringLiteral("格式错误："), false);
    lblError = makeLabel(grp2, "lblError", 120, 112, 97, 13, QStringLiteral("0"), true);
    Label1 = makeLabel(grp2, "Label1", 16, 64, 73, 13, QStringLiteral("已存在数："), false);
    lblExist = makeLabel(grp2, "lblExist", 120, 64, 97, 13, QStringLiteral("0"), true);
    lblWdr = makeLabel(grp2, "lblWdr", 120, 88, 97, 13, QStringLiteral("0"), true);
    Label3 = makeLabel(grp2, "Label3", 16, 88, 89, 13, QStringLiteral("未导入数："), false);
    btnTest = makeButton(grp2, "btnTest", 17, 181, 75, 25, QStringLiteral("导入"));
    btnClear = makeButton(grp2, "btnClear", 120, 184, 75, 25, QStringLiteral("清运行日志"));

    pnl1 = makeControl<QFrame>(this, "pnl1", 0, 0, 665, 467);
    pnl1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    grp1 = makeControl<QGroupBox>(pnl1, "grp1", 265, 232, 387, 223);
    grp1->setTitle(QStringLiteral("运行日志"));
    mmoLog = makeMemo(grp1, "mmoLog", 2, 15, 383, 206, true);
    grp3 = makeControl<QGroupBox>(pnl1, "grp3", 265, 9, 387, 215);
    grp3->setTitle(QStringLiteral("重码条码"));
    mmoError = makeMemo(grp3, "mmoError", 2, 15, 383, 198, true);
    btnChongMa = makeButton(pnl1, "btnChongMa", 16, 19, 217, 25, QStringLiteral("查找重码"));
    mmoDiskID = makeMemo(pnl1, "mmoDiskID", 16, 104, 233, 350, false);
    Button1 = makeButton(pnl1, "Button1", 16, 60, 217, 25, QStringLiteral("清除重码"));

    // The counters and the import button are never shown; pnl1 covers their group.
    btnTest->hide();
    grp2->hide();
    pnl1->raise();

    setTabOrder(btnTest, btnClear);
    setTabOrder(mmoLog, mmoError);
    setTabOrder(mmoError, btnChongMa);
    setTabOrder(btnChongMa, mmoDiskID);
    setTabOrder(mmoDiskID, Button1);
}

void TFrmMain::FormCreate()
{
    FItemList.clear();
    FSpareList.clear();
    FDupIDList.clear();
    FDupBarList.clear();
    FBusy = false;
}

void TFrmMain::FormDestroy()
{
    FItemList.clear();
    FSpareList.clear();
    FDupIDList.clear();
    FDupBarList.clear();
}

void TFrmMain::AddLog(const QString &text) { addLine(mmoLog, text); }

void TFrmMain::AddError(const QString &text) { addLine(mmoError, text); }

void TFrmMain::btnClearClick() { mmoLog->clear(); }

void TFrmMain::FormCloseQuery(bool &CanClose)
{
    // Asked the same way while an import runs.
    if (!dialogs().askYesNo(this, QStringLiteral("提示信息"), QStringLiteral("确定关闭吗？"),
                            QMessageBox::NoIcon))
        CanClose = false;
}

bool TFrmMain::event(QEvent *event)
{
    handoff::acquire(); // lines and counters from the database thread arrive as events here
    return QWidget::event(event);
}

void TFrmMain::closeEvent(QCloseEvent *event)
{
    bool canClose = true;
    FormCloseQuery(canClose);
    if (canClose)
        event->accept();
    else
        event->ignore();
}

void TFrmMain::SessionEndQuery(QSessionManager &manager)
{
#ifndef QT_NO_SESSIONMANAGER
    if (!manager.allowsInteraction())
        return;
    bool canClose = true;
    FormCloseQuery(canClose);
    manager.release();
    if (!canClose)
        manager.cancel();
#else
    Q_UNUSED(manager);
#endif
}

void TFrmMain::showEvent(QShowEvent *event)
{
    // Centred once, when first shown; afterwards the window stays where the user put it.
    if (!FCentred && isWindow()) {
        CentreOnScreen();
        FCentred = true;
    }
    QWidget::showEvent(event);
}

void TFrmMain::CentreOnScreen()
{
    const QScreen *target = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!target)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(target->availableGeometry().center());
    move(frame.topLeft());
}

// ---- Duplicate barcode cleaner --------------------------------------------------------

void TFrmMain::SetRunning(bool running)
{
    FRunning = running;
    btnChongMa->setEnabled(!running);
    Button1->setEnabled(!running);
    if (running)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void TFrmMain::WaitForOperation()
{
    if (tmrCycle)
        tmrCycle->stop();
    if ((!FRunning && !FBusy) || !FSession)
        return;
    FSession->requestStop();
    try {
        FSession->call([](TData1 &) {}); // queued behind the running job
    } catch (const std::exception &) {
        // The session is gone: nothing runs on it any more.
    }
}

QStringList TFrmMain::MemoLines(const QPlainTextEdit *memo) const
{
    const QTextDocument *doc = memo->document();
    QStringList lines;
    if (doc->isEmpty() && doc->firstBlock().userState() != kEmptyFirstLine)
        return lines;
    for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}

void TFrmMain::btnChongMaClick()
{
    if (FRunning || !FSession)
        return;
    mmoDiskID->clear();
    mmoError->clear();
    mmoLog->clear();
    // Cleared before anything is read: a search that fails leaves nothing for a removal.
    FDupIDList.clear();
    FDupBarList.clear();
    SetRunning(true);

    auto *sink = new SignalSink(FSession->stopFlag(), this);
    connect(sink, &SignalSink::errorAdded, this, &TFrmMain::AddError);
    auto result = std::make_shared<SearchResult>();
    FSession->post(
        [sink, result](TData1 &session) { *result = dedupe::findDuplicates(session, *sink); }, this,
        [this, sink, result](const QString &error) {
            sink->deleteLater();
            SetRunning(false);
            if (!error.isEmpty()) {
                showDefaultError(error);
                return;
            }
            FItemList = result->barcodes;
            for (const DuplicatePick &pick : std::as_const(result->duplicates)) {
                if (!pick.diskId)
                    continue;
                FDupIDList.append(QString::number(*pick.diskId));
                FDupBarList.append(pick.barcode);
            }
            for (const QString &id : std::as_const(FDupIDList))
                mmoDiskID->appendPlainText(id);
        });
}

void TFrmMain::Button1Click()
{
    if (FRunning || !FSession)
        return;
    // The count is that of the very list Yes deletes.
    const QString question = QStringLiteral("%1 个重码，确定清除重码吗？").arg(FDupIDList.size());
    if (!dialogs().askYesNo(this, QStringLiteral("提示信息"), question, QMessageBox::NoIcon))
        return;

    QList<RemovalEntry> entries;
    for (qsizetype i = 0; i < FDupIDList.size(); ++i)
        entries.append({FDupIDList.at(i), FDupBarList.value(i)});
    SetRunning(true);

    auto *sink = new SignalSink(FSession->stopFlag(), this);
    connect(sink, &SignalSink::logAdded, this, &TFrmMain::AddLog);
    FSession->post(
        [sink, entries](TData1 &session) { dedupe::removeDuplicates(session, entries, *sink); }, this,
        [this, sink](const QString &error) {
            sink->deleteLater();
            SetRunning(false);
            if (!error.isEmpty()) {
                showDefaultError(error); // del.log is not written after a stopped removal
                return;
            }
            const QStringList lines = MemoLines(mmoError);
            if (lines.isEmpty())
                return;
            try {
                dedupe::writeDelLog(FDelLogFile, lines);
            } catch (const Error &e) {
                showDefaultError(e.message());
            }
        });
}

// ---- Material import and source watch ---------------------------------------------------

void TFrmMain::ShowImported(int count) { lblNum->setText(QString::number(count)); }

void TFrmMain::RunImportInBackground(bool fromCycle, bool fromButton)
{
    // Set before the run is queued, so a cycle check cannot slip in between.
    FBusy = true;
    FSpareList.clear();
    if (fromButton)
        btnTest->setEnabled(false);

    auto *run = new TRunThread(*FSession, FSourceFile, this);
    connect(run, &TRunThread::logCleared, this, [this] { mmoLog->clear(); });
    connect(run, &TRunThread::logAdded, this, &TFrmMain::AddLog);
    connect(run, &TRunThread::errorAdded, this, &TFrmMain::AddError);
    connect(run, &TRunThread::counters, this, [this](int sum, int num, int exist, int error, int wdr) {
        lblSum->setText(QString::number(sum));
        ShowImported(num);
        lblExist->setText(QString::number(exist));
        lblError->setText(QString::number(error));
        lblWdr->setText(QString::number(wdr));
    });
    connect(run, &TRunThread::finished, this,
            [this, fromCycle, fromButton](const QString &error, const QStringList &lines, bool) {
                FBusy = false;
                FItemList = lines;
                if (fromButton)
                    btnTest->setEnabled(true);
                if (error.isEmpty())
                    return;
                if (fromButton) {
                    showDefaultError(error);
                    return;
                }
                // A background run has nobody to show a box to: its error goes to the run log,
                // and a version seen by the cycle check is tried again at its next look.
                AddLog(QStringLiteral("导入出错:") + error.simplified());
                if (fromCycle && FWatch)
                    FWatch->retryLater();
            });
    run->start();
}

void TFrmMain::btnTestClick() { StartImport(true); }

void TFrmMain::StartImportThread() { StartImport(false); }

void TFrmMain::StartImport(bool fromButton)
{
    if (!FSession)
        return;
    if (FBusy) {
        AddLog(QStringLiteral("导入正在进行，本次导入未启动"));
        return;
    }
    RunImportInBackground(false, fromButton);
}

void TFrmMain::btnThreadGoClick() { StartImportThread(); }

void TFrmMain::tmrCycleTimer()
{
    if (FBusy || !FSession || !FWatch)
        return;
    // Only a file that held still since the previous look: one still being written would be
    // imported half-written.
    const FileStamp now = fileStamp(FSourceFile);
    const bool settled = now.exists && now == FLastStamp;
    FLastStamp = now;
    if (!settled)
        return;
    if (!FWatch->SourceChanged(FSourceFile)) // may throw "Unable to write to ..."
        return;
    RunImportInBackground(true, false);
}

void TFrmMain::LoadSourceWatch(const QString &configPath)
{
    FWatch = std::make_unique<SourceWatch>(configPath);
    FWatch->loadConfig();
    FSourceFile = FWatch->sourceFile();
    const qint32 cycle = FWatch->config().FileCheckCycle;
    if (cycle > 0) {
        // QTimer keeps milliseconds in an int: a longer cycle gets the longest period it holds
        // rather than a wrapped, negative one.
        const std::chrono::milliseconds longest(std::numeric_limits<int>::max());
        tmrCycle->start(std::min<std::chrono::milliseconds>(std::chrono::seconds(cycle), longest));
    } else {
        tmrCycle->stop();
    }
}

} // namespace chongma
