#include "app/FrmMain.h"

#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/Skin.h"
#include "data/Error.h"
#include "data/Session.h"
#include "data/SessionHost.h"
#include "app/RunThread.h"
#include "app/WindowSink.h"
#include "dedupe/Backup.h"
#include "dedupe/DuplicateRemoval.h"
#include "dedupe/DuplicateSearch.h"
#include "watch/SourceWatch.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QEventLoop>
#include <QProgressBar>
#include <QProgressDialog>
#include <QScopeGuard>
#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
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
#include <climits>
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

// Enter and keypad Enter press the focused button, as on Windows. Qt gives them only to a
// dialog's default button; elsewhere only Space presses a button.
class EnterPresses : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            auto *button = qobject_cast<QAbstractButton *>(watched);
            if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
                if (!key->isAutoRepeat() && button->isEnabled())
                    button->click();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

QPushButton *makeButton(QWidget *parent, const char *name, int left, int top, int width,
                        int height, const QString &text)
{
    auto *button = makeControl<QPushButton>(parent, name, left, top, width, height);
    button->setText(text);
    button->setAutoDefault(false);
    button->installEventFilter(new EnterPresses(button));
    return button;
}

// Read-only memo. The two log memos scroll both ways and never wrap; the id list only
// scrolls vertically, so it wraps instead of hiding the end of a long line.
QPlainTextEdit *makeMemo(QWidget *parent, const char *name, int left, int top, int width,
                         int height, bool horizontalBar)
{
    auto *memo = makeControl<QPlainTextEdit>(parent, name, left, top, width, height);
    memo->setReadOnly(true);
    // Yet the keyboard moves through it, as through a read-only memo on Windows: Ctrl+End, the
    // arrows, Shift to select. Qt's read-only memo only scrolls with Home, End and the page keys.
    memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
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

// Lines from another thread are queued to the memo's thread, keeping their order.
void addLine(QPlainTextEdit *memo, const QString &text)
{
    if (QThread::currentThread() != memo->thread()) {
        QMetaObject::invokeMethod(memo, [memo, text] { appendLine(memo, text); }, Qt::QueuedConnection);
        return;
    }
    appendLine(memo, text);
}

// A block of lines in one edit: a search may list a hundred thousand barcodes.
void appendLines(QPlainTextEdit *memo, const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    if (lines.size() == 1) {
        appendLine(memo, lines.first());
        return;
    }
    QTextDocument *doc = memo->document();
    const bool startsEmpty = doc->isEmpty() && doc->firstBlock().userState() != kEmptyFirstLine;
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!startsEmpty)
        cursor.insertBlock();
    cursor.insertText(lines.join(u'\n'));
    cursor.endEditBlock();
    if (startsEmpty && lines.first().isEmpty())
        doc->firstBlock().setUserState(kEmptyFirstLine);
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
    tmrCycle->stop();
    // A job still running reports to this window: stop it and let it end first. Its result is
    // not delivered to a window being destroyed.
    if (FBusy && FSession) {
        if (FJobCancel)
            FJobCancel->cancel();
        try {
            FSession->call([](Connection &) {}); // queued behind the running job
        } catch (const std::exception &) {
            // The session is gone: nothing runs on it any more.
        }
    }
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
    FBusy = false;
}

void TFrmMain::FormDestroy()
{
    FItemList.clear();
    FSpareList.clear();
    FDupIDList.clear();
}

void TFrmMain::AddLog(const QString &text) { addLine(mmoLog, text); }

void TFrmMain::AddError(const QString &text) { addLine(mmoError, text); }

void TFrmMain::AddLogLines(const QStringList &lines) { appendLines(mmoLog, lines); }

void TFrmMain::AddErrorLines(const QStringList &lines) { appendLines(mmoError, lines); }

void TFrmMain::btnClearClick() { mmoLog->clear(); }

void TFrmMain::FormCloseQuery(bool &CanClose)
{
    // Asked the same way while an import runs.
    if (!AskYesNo(QStringLiteral("提示信息"), QStringLiteral("确定关闭吗？")))
        CanClose = false;
}

void TFrmMain::closeEvent(QCloseEvent *event)
{
    if (FCloseAsked) {
        // Confirmed while a job ran; it has ended now and its ending has run.
        if (FBusy)
            event->ignore();
        else
            event->accept();
        return;
    }
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose) {
        event->ignore();
        return;
    }
    if (!FBusy) {
        event->accept();
        return;
    }
    // The job stops at its next boundary; the window goes once its ending has run in full.
    FCloseAsked = true;
    if (FJobCancel)
        FJobCancel->cancel();
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
    if (!canClose) {
        manager.cancel();
        return;
    }
    CancelAndWait();
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

// ---- Jobs ---------------------------------------------------------------------------------

WindowSink *TFrmMain::BeginJob(JobKind kind, const QString &name, qint64 total)
{
    FBusy = true;
    FJobCancel = std::make_shared<CancelToken>();
    FJobName = name;
    btnChongMa->setEnabled(false);
    Button1->setEnabled(false);
    btnTest->setEnabled(false);
    setCursor(Qt::BusyCursor);

    auto *sink = new WindowSink(this);
    connect(sink, &WindowSink::logCleared, mmoLog, &QPlainTextEdit::clear);
    connect(sink, &WindowSink::logLines, this, &TFrmMain::AddLogLines);
    connect(sink, &WindowSink::errorLines, this, &TFrmMain::AddErrorLines);
    connect(sink, &WindowSink::counters, this, &TFrmMain::ShowCounters);
    if (kind == JobKind::BackgroundImport)
        return sink;

    // Qt's own dialog, shown only for a job that lasts longer than about a second. Its bar is
    // ours: QProgressDialog::setValue would run a nested event loop on every step.
    FProgress = new QProgressDialog(this);
    FProgressBar = new QProgressBar(FProgress);
    FProgress->setBar(FProgressBar);
    FProgress->setWindowTitle(name);
    FProgress->setLabelText(name);
    FProgress->setCancelButtonText(QStringLiteral("取消"));
    // Not modal: Qt drops a window manager's close request (WM_DELETE_WINDOW) to a window that a
    // modal one blocks, and closing during a job must still ask. The buttons are off meanwhile.
    FProgress->setWindowModality(Qt::NonModal);
    // Room for the title bar's caption and buttons, and for a count that grows.
    FProgress->setMinimumWidth(320);
    FProgress->setAutoClose(false);
    FProgress->setAutoReset(false);
    FProgress->setRange(0, 0);
    // Shown by a timer of ours: QProgressDialog's own one only shows it after a step it is told of.
    FProgress->setMinimumDuration(INT_MAX);
    FProgressDue = false;
    QTimer::singleShot(1000, FProgress, [this, dialog = FProgress] {
        if (dialog != FProgress) // its job has ended
            return;
        FProgressDue = true;
        ShowProgressIfDue();
    });
    const std::shared_ptr<CancelToken> cancel = FJobCancel;
    connect(FProgress, &QProgressDialog::canceled, this, [cancel] { cancel->cancel(); });
    connect(sink, &WindowSink::progressed, this, &TFrmMain::ShowProgress);
    if (total > 0)
        ShowProgress(0, total);
    return sink;
}

void TFrmMain::ShowProgressIfDue()
{
    // Never over a box, never for a job that has ended, never again after its 取消.
    if (!FBusy || !FProgress || !FProgressDue || FBoxes > 0 || FProgress->wasCanceled())
        return;
    FProgress->show();
}

QWidget *TFrmMain::BoxOwner()
{
    if (FProgress && FProgress->isVisible())
        return FProgress;
    return this;
}

bool TFrmMain::AskYesNo(const QString &caption, const QString &text)
{
    QWidget *owner = BoxOwner();
    ++FBoxes;
    const auto closed = qScopeGuard([this] { BoxClosed(); });
    return dialogs().askYesNo(owner, caption, text, QMessageBox::NoIcon);
}

void TFrmMain::ShowJobError(const QString &message)
{
    QWidget *owner = BoxOwner();
    ++FBoxes;
    const auto closed = qScopeGuard([this] { BoxClosed(); });
    showDefaultError(message, owner);
}

void TFrmMain::BoxClosed()
{
    if (--FBoxes > 0)
        return;
    for (QProgressDialog *dialog : std::as_const(FRetired))
        dialog->deleteLater();
    FRetired.clear();
    ShowProgressIfDue();
}

void TFrmMain::ShowProgress(qint64 done, qint64 total)
{
    if (!FProgressBar)
        return;
    // The bar counts in int; a count beyond it is shown scaled.
    const double scale = total > INT_MAX ? double(INT_MAX) / double(total) : 1.0;
    FProgressBar->setRange(0, int(double(total) * scale));
    FProgressBar->setValue(int(double(done) * scale));
    FProgress->setLabelText(total > 0 ? QStringLiteral("%1 %2/%3").arg(FJobName).arg(done).arg(total)
                                      : QStringLiteral("%1 %2").arg(FJobName).arg(done));
}

void TFrmMain::ShowCounters(const ImportCounters &c)
{
    lblSum->setText(QString::number(c.sum));
    ShowImported(c.num);
    lblExist->setText(QString::number(c.exist));
    lblError->setText(QString::number(c.error));
    lblWdr->setText(QString::number(c.wdr));
}

void TFrmMain::EndJob(WindowSink *sink)
{
    sink->deleteLater();
    if (FProgress) {
        FProgress->hide();
        // A box still up may be its child (deleting the dialog would take the box with it).
        if (FBoxes > 0)
            FRetired.append(FProgress);
        else
            FProgress->deleteLater();
        FProgress = nullptr;
        FProgressBar = nullptr;
        FProgressDue = false;
    }
    FJobCancel.reset();
    FBusy = false;
    btnChongMa->setEnabled(true);
    Button1->setEnabled(true);
    btnTest->setEnabled(true);
    unsetCursor();
    if (FCloseAsked)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TFrmMain::CancelAndWait()
{
    if (!FBusy)
        return;
    if (FJobCancel)
        FJobCancel->cancel();
    // The job stops at its next boundary and its ending runs here, in full.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!FBusy)
            loop.quit();
    });
    poll.start(20);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// ---- Duplicate barcode cleaner --------------------------------------------------------

void TFrmMain::btnChongMaClick()
{
    if (FBusy || !FSession)
        return;
    mmoDiskID->clear();
    mmoError->clear();
    mmoLog->clear();
    // Cleared before anything is read: a search that fails or is cancelled leaves nothing to delete.
    FDupIDList.clear();
    FPlan = RemovalPlan();

    // No total: the rows come from one grouped statement, counted only as they are read (a count
    // up front would cost the server a second grouping).
    WindowSink *sink = BeginJob(JobKind::Search, QStringLiteral("查找重码"));
    FSession->post<SearchResult>(
        FJobCancel,
        [sink](Connection &connection, const CancelToken &cancel) {
            return dedupe::findDuplicates(connection.session(*sink), *sink, cancel);
        },
        this,
        [this, sink](SearchResult result) {
            sink->flush();
            if (result.ending.isDone()) {
                FItemList = result.barcodes();
                FPlan = RemovalPlan::fromSearch(result);
                FDupIDList = result.pickedIds();
                appendLines(mmoDiskID, FDupIDList);
            } else if (result.ending.isStopped()) {
                AddLog(QStringLiteral("查找重码已取消"));
            }
            EndJob(sink);
            if (result.ending.isFailed())
                ShowJobError(result.ending.message);
        });
}

void TFrmMain::Button1Click()
{
    if (FBusy || !FSession)
        return;
    // The count is that of the very list Yes deletes.
    if (!AskYesNo(QStringLiteral("提示信息"), FPlan.question()))
        return;

    const RemovalPlan plan = FPlan;
    const RemovalFiles files{FDelLogFile, dedupe::backupPathFor(FDelLogFile, QDateTime::currentDateTime())};
    WindowSink *sink = BeginJob(JobKind::Removal, QStringLiteral("清除重码"), plan.count());
    FSession->post<RemovalOutcome>(
        FJobCancel,
        [sink, plan, files](Connection &connection, const CancelToken &cancel) {
            return dedupe::runRemoval(connection.session(*sink), plan, files, *sink, cancel);
        },
        this,
        [this, sink](RemovalOutcome outcome) {
            sink->flush();
            if (outcome.ending.isStopped())
                AddLog(QStringLiteral("清除重码已取消"));
            EndJob(sink);
            if (outcome.ending.isFailed())
                ShowJobError(outcome.ending.message);
        });
}

// ---- Material import and source watch ---------------------------------------------------

void TFrmMain::ShowImported(int count) { lblNum->setText(QString::number(count)); }

void TFrmMain::btnTestClick() { StartImport(true, false); }

void TFrmMain::StartImportThread() { StartImport(false, false); }

void TFrmMain::btnThreadGoClick() { StartImportThread(); }

void TFrmMain::StartImport(bool fromButton, bool fromCycle)
{
    if (!FSession)
        return;
    if (FBusy) {
        AddLog(QStringLiteral("导入正在进行，本次导入未启动"));
        return;
    }
    FItemList.clear();
    FSpareList.clear();
    WindowSink *sink = BeginJob(fromButton ? JobKind::Import : JobKind::BackgroundImport, QStringLiteral("导入"));
    TRunThread::Execute(*FSession, FJobCancel, ImportRequest{FSourceFile, false}, sink, this,
                        [this, sink, fromButton, fromCycle](ImportResult result) {
                            sink->flush();
                            EndJob(sink);
                            if (!result.ending.isFailed())
                                return;
                            if (fromButton) {
                                ShowJobError(result.ending.message);
                                return;
                            }
                            // A background run has nobody to show a box to: its error goes to the
                            // run log, and a version seen by the cycle check is tried again at its
                            // next look.
                            AddLog(QStringLiteral("导入出错:") + result.ending.message.simplified());
                            if (fromCycle && FCheck)
                                FCheck->importFailed();
                        });
}

void TFrmMain::tmrCycleTimer()
{
    // Not while a job runs, nor inside the box of a previous check's error.
    if (FBusy || FInCycleCheck || !FSession || !FCheck)
        return;
    FInCycleCheck = true;
    const auto leave = qScopeGuard([this] { FInCycleCheck = false; });
    if (FCheck->look(FSourceFile) == SourceCheck::Verdict::Changed) // may throw "Unable to write to ..."
        StartImport(false, true);
}

void TFrmMain::LoadSourceWatch(const QString &configPath)
{
    FWatch = std::make_unique<SourceWatch>(configPath);
    FCheck = std::make_unique<SourceCheck>(*FWatch);
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
