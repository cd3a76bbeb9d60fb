#pragma once

#include "data/Job.h"
#include "dedupe/DuplicateRemoval.h"
#include "import/ImportRun.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QProgressDialog;
class QPushButton;
class QSessionManager;
class QShowEvent;
class QTimer;

namespace chongma {

class SessionHost;
class SourceCheck;
class SourceWatch;
class WindowSink;

// The program's only window: run log, duplicate barcodes, picked row ids and the two
// cleaner buttons. The import counters (grp2) stay hidden under pnl1 for good.
class TFrmMain : public QWidget {
    Q_OBJECT

public:
    explicit TFrmMain(QWidget *parent = nullptr);
    // The window runs its database work on `session`'s thread.
    explicit TFrmMain(SessionHost *session, QWidget *parent = nullptr);
    ~TFrmMain() override;

    // Controls, in creation order; each objectName is the member's name.
    QGroupBox *grp2 = nullptr;
    QLabel *lblNum = nullptr;
    QLabel *lblSum = nullptr;
    QLabel *lbl2 = nullptr;
    QLabel *lbl3 = nullptr;
    QLabel *lbl4 = nullptr;
    QLabel *lblError = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *lblExist = nullptr;
    QLabel *lblWdr = nullptr;
    QLabel *Label3 = nullptr;
    QPushButton *btnTest = nullptr;
    QPushButton *btnClear = nullptr;
    QFrame *pnl1 = nullptr;
    QGroupBox *grp1 = nullptr;
    QPlainTextEdit *mmoLog = nullptr;
    QGroupBox *grp3 = nullptr;
    QPlainTextEdit *mmoError = nullptr;
    QPushButton *btnChongMa = nullptr;
    QPlainTextEdit *mmoDiskID = nullptr;
    QPushButton *Button1 = nullptr;

    // A job (search, removal or import) is running on the database thread. The one busy state:
    // the buttons are off and the cycle check waits meanwhile.
    bool FBusy = false;
    // Shared by the cleaner and the import; live from FormCreate to FormDestroy.
    QStringList FItemList;
    QStringList FSpareList;
    QStringList FDupIDList;
    QString FSourceFile;

    // One line at the end of the run log / the duplicate list. Safe to call from a
    // worker thread: the line is then queued to the window's thread.
    void AddLog(const QString &text);
    void AddError(const QString &text);

    void FormCreate();
    void FormDestroy();
    // Asks before closing; CanClose becomes false unless the answer is Yes.
    void FormCloseQuery(bool &CanClose);

    void btnClearClick();

    // ---- Duplicate barcode cleaner ----------------------------------------------------
    // What "清除重码" deletes: the last search's picks and del.log's lines. Empty until a search
    // has run to its end.
    RemovalPlan FPlan;
    // Where the removal writes del.log (beside the program); the backup goes to a folder
    // "backup" beside it.
    QString FDelLogFile;

    // "查找重码": lists every duplicated barcode in mmoError and the picked DiskIDs in
    // mmoDiskID. Runs on the database thread.
    void btnChongMaClick();
    // "清除重码": confirms, backs up and deletes the picked rows, logs them and writes del.log.
    void Button1Click();
    // A job is running on the database thread (the window takes no other input meanwhile).
    bool isRunning() const { return FBusy; }
    // The running job's progress dialog, if one was made (it shows after about a second).
    QProgressDialog *progressDialog() const { return FProgress; }

    // ---- Material import and source watch -----------------------------------------------
    // The hidden Import button: one run of FSourceFile; an error goes to the default handler.
    void btnTestClick();
    // One background run of FSourceFile. Refused, with a line in mmoLog, while a job runs: two
    // jobs never overlap.
    void StartImportThread();
    void btnThreadGoClick();
    // The cycle check: nothing while busy; a file still being written waits for the next
    // check; a newer version held still is imported in the background.
    void tmrCycleTimer();
    void ShowImported(int count);
    // Reads config.ini: FSourceFile from FilePath and FileName, and a cycle timer when
    // FileCheckCycle is above 0.
    void LoadSourceWatch(const QString &configPath);
    QTimer *tmrCycle = nullptr;
    // ------------------------------------------------------------------------------------

    // Blocks of lines at the end of a memo, for jobs that report many at once.
    void AddLogLines(const QStringList &lines);
    void AddErrorLines(const QStringList &lines);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void CreateControls();
    void CentreOnScreen();
    void SessionEndQuery(QSessionManager &manager);

    enum class JobKind { Search, Removal, Import, BackgroundImport };
    // Enters the busy state for one job: its cancel token, a sink carrying its effects here and,
    // for a job the user started, a progress dialog named after it (`total`: its steps when known
    // up front, else 0).
    WindowSink *BeginJob(JobKind kind, const QString &name, qint64 total = 0);
    // Leaves it: after the job's ending has run, and closes the window when that was asked for.
    // The dialog goes first, before any box of the job's ending.
    void EndJob(WindowSink *sink);

    // Every box of the window goes through these, so one place decides what is on top: a box
    // asked while the progress dialog is up is its child, above it; the dialog never shows over a
    // box, and shows once the box is answered if its job still runs and has lasted its second.
    bool AskYesNo(const QString &caption, const QString &text);
    void ShowJobError(const QString &message);
    QWidget *BoxOwner();
    void BoxClosed();
    void ShowProgressIfDue();
    void StartImport(bool fromButton, bool fromCycle);
    void CancelAndWait();
    void ShowProgress(qint64 done, qint64 total);
    void ShowCounters(const ImportCounters &counters);

    bool FCentred = false;
    SessionHost *FSession = nullptr;
    std::shared_ptr<CancelToken> FJobCancel; // the running job's
    QString FJobName;
    QProgressDialog *FProgress = nullptr;
    QProgressBar *FProgressBar = nullptr;
    bool FProgressDue = false; // the running job has lasted the second after which its dialog shows
    int FBoxes = 0;            // boxes of the window up now
    // Dialogs of ended jobs kept until no box is up: one may own the close question.
    QList<QProgressDialog *> FRetired;
    bool FCloseAsked = false; // the close was confirmed while a job ran: close once it has ended
    bool FInCycleCheck = false;
    std::unique_ptr<SourceWatch> FWatch;
    std::unique_ptr<SourceCheck> FCheck;
};

} // namespace chongma
