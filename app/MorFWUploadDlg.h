#pragma once
// The main dialog: port box, options, progress bar, log pane, Start/Cancel, Close and Help.
// It is the hub of an upload: the session runs on a worker thread against this dialog, and
// every window operation the worker asks for is carried out here on the window's thread while
// the worker waits. The window's thread never waits for the worker.

#include "app/DialogTexts.h"
#include "app/ZEdit.h"
#include "serial/SerialPort.h"
#include "upload/UploadDlgBase.h"

#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <QToolButton>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class CWrapButton;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

// Where each control of the dialog sits, in dialog units (x, y, width, height).
struct DLGITEM_LAYOUT {
    int x, y, cx, cy;
};

class CMorFWUploadDlg : public QDialog, public CUploadDlgBase {
    Q_OBJECT

public:
    // Template size in dialog units.
    static constexpr int DLG_WIDTH = 281;
    static constexpr int DLG_HEIGHT = 196;

    static constexpr DLGITEM_LAYOUT LAYOUT_PORT_LABEL{7, 7, 78, 9};
    static constexpr DLGITEM_LAYOUT LAYOUT_PORT{7, 18, 78, 60};
    static constexpr DLGITEM_LAYOUT LAYOUT_PROGRESS_LABEL{7, 42, 194, 9};
    static constexpr DLGITEM_LAYOUT LAYOUT_PROGRESS{7, 51, 195, 13};
    // The template gives the revision line 116 units, which cuts a longer revision short; it
    // takes the free width up to the buttons' column instead, as the version line does.
    static constexpr DLGITEM_LAYOUT LAYOUT_REVISION{7, 69, 212, 12};
    static constexpr DLGITEM_LAYOUT LAYOUT_LOG{7, 82, 267, 103};
    static constexpr DLGITEM_LAYOUT LAYOUT_SLOW_MODE{109, 14, 94, 12};
    static constexpr DLGITEM_LAYOUT LAYOUT_RELAXED{109, 30, 94, 12};
    static constexpr DLGITEM_LAYOUT LAYOUT_START{224, 7, 50, 25};
    static constexpr DLGITEM_LAYOUT LAYOUT_CLOSE{224, 38, 50, 14};
    static constexpr DLGITEM_LAYOUT LAYOUT_HELP{224, 64, 50, 14};
    static constexpr DLGITEM_LAYOUT LAYOUT_VERSION{7, 185, 212, 9};

    // The dialog's own texts.
    static constexpr const char* TITLE = DLG_TITLE;
    static constexpr const char* REVISION_PREFIX = DLG_REVISION_PREFIX;
    static constexpr const char* VERSION_LINE = DLG_VERSION_LINE;
    static constexpr const char* ABOUT_ITEM = DLG_ABOUT_ITEM;

    // strAppDir: the program directory with a trailing '/'. The port list is read from the
    // system's tty tree (the two roots are there for tests).
    explicit CMorFWUploadDlg(const std::string& strAppDir, QWidget* pParent = nullptr,
                             const std::string& strSysClassTty = "/sys/class/tty",
                             const std::string& strDevDir = "/dev");
    ~CMorFWUploadDlg() override;

    // Refuses to end while a session runs (Escape, the window's close button), without any
    // other effect; otherwise ends the dialog as Close does.
    void reject() override;

    // Reads the check boxes into the options (bSaveAndValidate true) or ticks them from the
    // options (false).
    void UpdateData(bool bSaveAndValidate);

    // Handlers, public so that the window's tests can reach them as the operator would.
    void OnOK();                   // Start Upload / Cancel Upload, and Enter
    void OnRelaxedErrorChecking(); // click of "Relaxed Error Checking"
    void OnKickIdle();             // the window's thread has run out of work
    void OnHelp();                 // Help button, F1, context menu
    void OnAbout();                // the About item (context menu, Ctrl+Shift+A)

    // The help page this dialog opens (empty when none was found).
    QString GetHelpPage() const;

    // A message box modal to this dialog (window's thread only); returns the button pressed.
    // A detail (the system's reason for a failure) is shown as the box's informative text.
    QMessageBox::StandardButton DoMessageBox(const QString& strText, const QString& strCaption,
                                             QMessageBox::Icon icon,
                                             QMessageBox::StandardButtons buttons,
                                             const QString& strDetail = {});

    // Controls, named as the template's members.
    QProgressBar* m_ctlProgress;
    QPushButton* m_btnClose;
    ZEdit* m_edtLog;
    CWrapButton* m_btnStart;
    QComboBox* m_cmbPort;
    QCheckBox* m_chkRelaxedErrorChecking;
    QCheckBox* m_chkSlowMode;
    QToolButton* m_btnHelp; // with a menu: Help, About
    QLabel* m_stcPort;
    QLabel* m_stcProgress;
    QLabel* m_stcRevision;
    QLabel* m_stcVersion;
    QAction* m_actAbout;
    QAction* m_actHelp;

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

    // Window operations of the session, called on the worker thread and carried out on the
    // window's thread while the worker waits.
    void ShowLogText(const std::string& strAppended) override;
    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void DeltaProgressPos(int nDelta) override;
    std::string GetPortText() override;
    MsgBoxResult ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                MsgBoxIcon eIcon, MsgBoxButtons eButtons) override;
    MsgBoxResult ShowDetailedMessageBox(const std::string& strText, const std::string& strCaption,
                                        MsgBoxIcon eIcon, MsgBoxButtons eButtons,
                                        const std::string& strDetail) override;
    void FocusPortBox() override;
    void RestoreStartCaption() override;

private:
    void OnInitDialog();
    void CreateControls();
    void FillPortList();
    void ShowRevision();

    // Runs fn on the window's thread: at once when called there; from another thread, queued
    // to the window's thread while the caller waits. The hand-over goes through a mutex of its
    // own, so whatever fn touches is ordered for both threads.
    void OnWindowThread(const std::function<void()>& fn);
    Q_INVOKABLE void RunPendingCall();

    // Progress bar model: the bar shows pos within lower..upper; positions stay in the range.
    int m_nProgressLower = 0;
    int m_nProgressUpper = 100;
    int m_nProgressPos = 0;
    void ShowProgress();

    // Runs from the caption's restoring until the session has let go of the dialog, so that
    // the window's thread comes to an idle moment after the session's very end (the worker
    // gives no sign of its own then).
    QTimer m_tmrSessionEnd;

    // The call the worker waits for (at most one: there is one worker).
    std::thread::id m_idWindowThread;
    std::mutex m_mtxCall;
    std::condition_variable m_cvCall;
    const std::function<void()>* m_pPendingCall = nullptr;
    bool m_bCallDone = false;
};
