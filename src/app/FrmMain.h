#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSessionManager;
class QShowEvent;

namespace chongma {

class SessionHost;

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
    // ------------------------------------------------------------------------------------

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void CreateControls();
    void CentreOnScreen();
    void SessionEndQuery(QSessionManager &manager);

    void SetRunning(bool running);
    void WaitForOperation();
    QStringList MemoLines(const QPlainTextEdit *memo) const;

    bool FCentred = false;
    SessionHost *FSession = nullptr;
    bool FRunning = false;
};

} // namespace chongma
