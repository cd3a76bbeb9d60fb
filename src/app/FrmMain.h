#pragma once

#include "watch/FileTime.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSessionManager;
class QShowEvent;
class QTimer;

namespace chongma {

class SessionHost;
class SourceWatch;

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

    // Shared by the cleaner and the import; live from FormCreate to FormDestroy.
    bool FBusy = false;
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
    // Barcode of each FDupIDList entry: a removal deletes a row only while it still
    // carries the barcode it was picked for.
    QStringList FDupBarList;
    // Where the removal writes del.log: beside the program.
    QString FDelLogFile;

    // "查找重码": lists every duplicated barcode in mmoError and the picked DiskIDs in
    // mmoDiskID. Runs on the database thread; the window follows through queued signals.
    void btnChongMaClick();
    // "清除重码": confirms, deletes the picked rows, logs them and writes del.log.
    void Button1Click();
    // An operation is running on the database thread (its buttons are disabled meanwhile).
    bool isRunning() const { return FRunning; }

    // ---- Material import and source watch -----------------------------------------------
    // The hidden Import button: one run of FSourceFile; an error goes to the default handler.
    void btnTestClick();
    // One background run of FSourceFile. Refused, with a line in mmoLog, while a run is in
    // progress: two runs never overlap.
    void StartImportThread();
    void btnThreadGoClick();
    // The cycle check: nothing while FBusy; a file still being written (size or write time
    // moved since the previous check) waits for the next check; then SourceChanged decides.
    void tmrCycleTimer();
    void ShowImported(int count);
    // Reads config.ini: FSourceFile from FilePath and FileName, and a cycle timer when
    // FileCheckCycle is above 0.
    void LoadSourceWatch(const QString &configPath);
    QTimer *tmrCycle = nullptr;
    // ------------------------------------------------------------------------------------

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void CreateControls();
    void CentreOnScreen();
    void SessionEndQuery(QSessionManager &manager);

    void SetRunning(bool running);
    void StartImport(bool fromButton);
    void RunImportInBackground(bool fromCycle, bool fromButton);
    void WaitForOperation();
    QStringList MemoLines(const QPlainTextEdit *memo) const;

    bool FCentred = false;
    SessionHost *FSession = nullptr;
    bool FRunning = false;
    std::unique_ptr<SourceWatch> FWatch;
    FileStamp FLastStamp; // the source file as the previous cycle check saw it
};

} // namespace chongma
