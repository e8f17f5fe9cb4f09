#include "app/MorFWUploadDlg.h"

#include "app/AboutDlg.h"
#include "app/DialogUnits.h"
#include "app/Help.h"
#include "app/MessageBox.h"
#include "app/WrapButton.h"
#include "image/FileImg.h"
#include "platform/PrintableText.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

namespace {

QString FromUtf8(const std::string& str) {
    return QString::fromUtf8(str.data(), static_cast<qsizetype>(str.size()));
}

// Case-insensitive order in which a run of digits counts as its number.
int ComparePortNames(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i;
            qsizetype je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            // Compare the numbers without their leading zeros: first by length, then by digits.
            QStringView da = QStringView(a).mid(i, ie - i);
            QStringView db = QStringView(b).mid(j, je - j);
            while (da.size() > 1 && da[0] == u'0')
                da = da.mid(1);
            while (db.size() > 1 && db[0] == u'0')
                db = db.mid(1);
            if (da.size() != db.size())
                return da.size() < db.size() ? -1 : 1;
            if (const int n = da.compare(db); n != 0)
                return n;
            i = ie;
            j = je;
            continue;
        }
        const QChar ca = a[i].toCaseFolded();
        const QChar cb = b[j].toCaseFolded();
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    return QString::compare(a, b); // equal but for case or leading zeros: a stable order
}

QRect Map(const CDialogUnits& du, const DLGITEM_LAYOUT& l) {
    return du.MapDialogRect(l.x, l.y, l.cx, l.cy);
}

// At a fractional scale (150 %) the frame of a scroll area is drawn along its last logical row
// and column; where that line starts between two device pixels, Qt drops it, and the pane loses
// its right and bottom frame lines and its scroll bar's groove edge. The pane's origin and its
// last row and column are therefore moved (by less than a device pixel's worth, never outwards)
// onto whole device pixels.
QRect SnapToDevicePixels(const QRect& rc, qreal dpr) {
    int nStep = 1; // the smallest number of logical pixels that is a whole number of device ones
    while (nStep < 8 && std::abs(nStep * dpr - std::round(nStep * dpr)) > 1e-6)
        ++nStep;
    if (nStep == 1)
        return rc;
    const auto down = [nStep](int v) { return v - ((v % nStep) + nStep) % nStep; };
    const int nLeft = down(rc.left() + nStep - 1); // inwards
    const int nTop = down(rc.top() + nStep - 1);
    const int nLastX = std::max(nStep, down(rc.left() + rc.width() - 1 - nLeft));
    const int nLastY = std::max(nStep, down(rc.top() + rc.height() - 1 - nTop));
    return QRect(nLeft, nTop, nLastX + 1, nLastY + 1);
}

} // namespace

CMorFWUploadDlg::CMorFWUploadDlg(const std::string& strAppDir, QWidget* pParent,
                                 const std::string& strSysClassTty, const std::string& strDevDir)
    : QDialog(pParent), CUploadDlgBase(strSysClassTty, strDevDir),
      m_idWindowThread(std::this_thread::get_id()) {
    m_strAppDir = strAppDir;
    // A fixed frame with a title and a close button, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QString::fromUtf8(TITLE));
    setWindowIcon(QApplication::windowIcon());

    CreateControls();

    // The idle moment: the window's thread has run out of work and is about to wait.
    if (QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(pDispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                &CMorFWUploadDlg::OnKickIdle);
    m_tmrSessionEnd.setInterval(20);
    connect(&m_tmrSessionEnd, &QTimer::timeout, this, [this] {
        if (!m_bUploading.load())
            m_tmrSessionEnd.stop();
    });

    OnInitDialog();
}

CMorFWUploadDlg::~CMorFWUploadDlg() {
    // The dialog does not end while a session runs, so normally there is none. Should the
    // program be torn down regardless, ask the session to stop and keep serving its window
    // operations until it has let go of the dialog.
    if (m_bUploading.load()) {
        ConfirmCancel(GetCancelTicket());
        while (!WaitForSessionEnd(10))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

void CMorFWUploadDlg::CreateControls() {
    const CDialogUnits du(font());

    // Created in the template's order, which is also the tab order.
    m_stcPort = new QLabel(QStringLiteral("Serial Port"), this);
    m_stcPort->setGeometry(Map(du, LAYOUT_PORT_LABEL));

    m_cmbPort = new QComboBox(this);
    m_cmbPort->setEditable(true);
    // The operator may type any name; it is used as typed and never added to the list, and
    // nothing completes it behind the operator's back.
    m_cmbPort->setInsertPolicy(QComboBox::NoInsert);
    m_cmbPort->setCompleter(nullptr);
    {
        // The template's height includes the dropped-down list; the field keeps its own.
        const QRect rc = Map(du, LAYOUT_PORT);
        const int nField = m_cmbPort->sizeHint().height();
        m_cmbPort->setGeometry(rc.x(), rc.y(), rc.width(), nField);
        m_cmbPort->setMaxVisibleItems(std::max(3, (rc.height() - nField) / du.BaseY()));
    }

    m_stcProgress = new QLabel(QStringLiteral("Upload Progress"), this);
    m_stcProgress->setGeometry(Map(du, LAYOUT_PROGRESS_LABEL));

    m_ctlProgress = new QProgressBar(this);
    m_ctlProgress->setGeometry(Map(du, LAYOUT_PROGRESS));
    m_ctlProgress->setTextVisible(false);
    ShowProgress();

    m_stcRevision = new QLabel(QString::fromUtf8(REVISION_PREFIX), this);
    m_stcRevision->setGeometry(Map(du, LAYOUT_REVISION));
    m_stcRevision->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_stcRevision->setTextFormat(Qt::PlainText);

    // The system's window colours, read once, whatever the dialog's own face colour is.
    const QPalette palSystem = QApplication::palette();
    m_edtLog = new ZEdit(palSystem.color(QPalette::Active, QPalette::Text),
                         palSystem.color(QPalette::Active, QPalette::Base), this);
    m_edtLog->setGeometry(SnapToDevicePixels(Map(du, LAYOUT_LOG), devicePixelRatioF()));

    m_chkSlowMode = new QCheckBox(QStringLiteral("Slow Mode"), this);
    m_chkSlowMode->setGeometry(Map(du, LAYOUT_SLOW_MODE));

    m_chkRelaxedErrorChecking = new QCheckBox(QStringLiteral("Relaxed Error Checking"), this);
    m_chkRelaxedErrorChecking->setGeometry(Map(du, LAYOUT_RELAXED));
    connect(m_chkRelaxedErrorChecking, &QCheckBox::clicked, this,
            &CMorFWUploadDlg::OnRelaxedErrorChecking);

    m_btnStart = new CWrapButton(QString::fromUtf8(CAPTION_START), this);
    m_btnStart->setGeometry(Map(du, LAYOUT_START));
    m_btnStart->setDefault(true);
    connect(m_btnStart, &QPushButton::clicked, this, &CMorFWUploadDlg::OnOK);

    m_btnClose = new QPushButton(QStringLiteral("Close"), this);
    m_btnClose->setGeometry(Map(du, LAYOUT_CLOSE));
    connect(m_btnClose, &QPushButton::clicked, this, &CMorFWUploadDlg::reject);

    // A split button: its face opens the help as before, its arrow the menu with About, which
    // a Windows user finds in the window menu and a Linux user looks for here.
    m_btnHelp = new QToolButton(this);
    m_btnHelp->setText(QStringLiteral("&Help"));
    m_btnHelp->setGeometry(Map(du, LAYOUT_HELP));
    m_btnHelp->setPopupMode(QToolButton::MenuButtonPopup);
    m_btnHelp->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_btnHelp->setFocusPolicy(Qt::StrongFocus);
    connect(m_btnHelp, &QToolButton::clicked, this, &CMorFWUploadDlg::OnHelp);

    m_stcVersion = new QLabel(QString::fromUtf8(VERSION_LINE), this);
    m_stcVersion->setGeometry(Map(du, LAYOUT_VERSION));

    // Linux window frames offer no menu of the application's own: help and about are in the
    // Help button's menu, the dialog's context menu and on keys.
    m_actHelp = new QAction(QStringLiteral("&Help"), this);
    m_actHelp->setShortcut(QKeySequence::HelpContents);
    connect(m_actHelp, &QAction::triggered, this, &CMorFWUploadDlg::OnHelp);
    addAction(m_actHelp);
    m_actAbout = new QAction(QString::fromUtf8(ABOUT_ITEM), this);
    m_actAbout->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A));
    connect(m_actAbout, &QAction::triggered, this, &CMorFWUploadDlg::OnAbout);
    addAction(m_actAbout);
    m_edtLog->SetMenuExtras({m_actHelp, m_actAbout});
    auto* pHelpMenu = new QMenu(m_btnHelp);
    pHelpMenu->addAction(m_actHelp);
    pHelpMenu->addSeparator();
    pHelpMenu->addAction(m_actAbout);
    m_btnHelp->setMenu(pHelpMenu);

    setFixedSize(du.MapX(DLG_WIDTH), du.MapY(DLG_HEIGHT));
}

void CMorFWUploadDlg::OnInitDialog() {
    // Both options start clear: nothing is remembered from an earlier run.
    UpdateData(false);
    FillPortList();
    ShowRevision();
    m_cmbPort->setFocus();
}

void CMorFWUploadDlg::FillPortList() {
    // A sorted list, without regard to case and with numbers in numeric order, so that
    // /dev/ttyS2 comes before /dev/ttyS10.
    QStringList names;
    QStringList consoles;
    for (int i = 0;; ++i) {
        const char* pszName = m_SerialPort.GetPortName(i);
        if (!pszName)
            break;
        names << QString::fromUtf8(pszName);
        if (m_SerialPort.IsConsolePortAt(i))
            consoles << names.back();
    }
    std::stable_sort(names.begin(), names.end(),
                     [](const QString& a, const QString& b) { return ComparePortNames(a, b) < 0; });
    m_cmbPort->addItems(names);
    // The first entry that is not the kernel console (an upload would write into it), or an
    // empty field when there is none.
    int nFirst = -1;
    for (int i = 0; i < names.size() && nFirst < 0; ++i) {
        if (!consoles.contains(names[i]))
            nFirst = i;
    }
    m_cmbPort->setCurrentIndex(nFirst);
    if (nFirst < 0)
        m_cmbPort->setEditText(QString());
}

void CMorFWUploadDlg::ShowRevision() {
    // The INI file's text: a line end or other control character in it is shown escaped.
    const std::string strRevision = EscapeControlChars(GetFirmwareRevision(m_strAppDir));
    m_stcRevision->setText(m_stcRevision->text() + QStringLiteral("  ") + FromUtf8(strRevision));
    m_stcRevision->setToolTip(m_stcRevision->text());
}

void CMorFWUploadDlg::UpdateData(bool bSaveAndValidate) {
    if (bSaveAndValidate) {
        m_bRelaxedErrorChecking.store(m_chkRelaxedErrorChecking->isChecked());
        m_bSlowMode.store(m_chkSlowMode->isChecked());
    } else {
        m_chkRelaxedErrorChecking->setChecked(m_bRelaxedErrorChecking.load());
        m_chkSlowMode->setChecked(m_bSlowMode.load());
    }
}

// --- Handlers --------------------------------------------------------------------------------

void CMorFWUploadDlg::OnOK() {
    if (!m_bUploading.load()) {
        UpdateData(true);
        // On failure the session has logged why, and the dialog stays idle.
        if (StartUploadSession(m_btnStart->text().toStdString()))
            m_btnStart->setText(QString::fromUtf8(CAPTION_CANCEL));
        return;
    }

    // The session goes on while the question is open; a Yes given after it has ended on its
    // own is dropped, so it cannot cancel the next one.
    const auto nTicket = GetCancelTicket();
    if (DoMessageBox(QString::fromUtf8(MSG_CANCEL_QUESTION), QString::fromUtf8(CAPTION_WARNING),
                     QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
        ConfirmCancel(nTicket);
}

void CMorFWUploadDlg::OnRelaxedErrorChecking() {
    // The box has already changed; the option still holds the state before the click, so a
    // clear option means the box has just been ticked.
    if (!m_bRelaxedErrorChecking.load())
        DoMessageBox(QString::fromUtf8(MSG_RELAXED_WARNING), QString::fromUtf8(CAPTION_WARNING),
                     QMessageBox::Warning, QMessageBox::Ok);
    // At once, also during a session: its next bootstrap pass uses the new value.
    UpdateData(true);
}

void CMorFWUploadDlg::OnKickIdle() {
    const bool bEnable = !m_bUploading.load();
    if (m_btnClose->isEnabled() != bEnable)
        m_btnClose->setEnabled(bEnable);
}

void CMorFWUploadDlg::reject() {
    // Escape and the window's close button must not end the dialog under a running session.
    if (m_bUploading.load())
        return;
    QDialog::reject();
}

QString CMorFWUploadDlg::GetHelpPage() const {
    return FindHelpPage(m_strAppDir);
}

void CMorFWUploadDlg::OnHelp() {
    const QString strPage = GetHelpPage();
    if (strPage.isEmpty()) {
        DoMessageBox(QString::fromUtf8(MSG_HELP_NOT_FOUND).arg(QLatin1String(HELP_PAGE_NAME)),
                     QString::fromUtf8(CAPTION_ERROR), QMessageBox::Warning, QMessageBox::Ok);
        return;
    }
    if (!QDesktopServices::openUrl(HelpContentsUrl(strPage)))
        DoMessageBox(QString::fromUtf8(MSG_NO_HELP_VIEWER).arg(strPage),
                     QString::fromUtf8(CAPTION_ERROR), QMessageBox::Warning, QMessageBox::Ok);
}

void CMorFWUploadDlg::OnAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CMorFWUploadDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    QMenu menu(this);
    menu.addAction(m_actHelp);
    menu.addSeparator();
    menu.addAction(m_actAbout);
    menu.exec(pEvent->globalPos());
}

QMessageBox::StandardButton CMorFWUploadDlg::DoMessageBox(const QString& strText,
                                                          const QString& strCaption,
                                                          QMessageBox::Icon icon,
                                                          QMessageBox::StandardButtons buttons,
                                                          const QString& strDetail) {
    CMessageBox box(icon, strCaption, strText, buttons, this, strDetail);
    // The first button is the default, as in every message box of the system.
    box.setDefaultButton((buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

// --- Window operations of the session ------------------------------------------------------

void CMorFWUploadDlg::OnWindowThread(const std::function<void()>& fn) {
    if (std::this_thread::get_id() == m_idWindowThread) {
        fn();
        return;
    }
    std::unique_lock lock(m_mtxCall);
    m_pPendingCall = &fn;
    m_bCallDone = false;
    lock.unlock();
    QMetaObject::invokeMethod(this, "RunPendingCall", Qt::QueuedConnection);
    lock.lock();
    m_cvCall.wait(lock, [this] { return m_bCallDone; });
}

void CMorFWUploadDlg::RunPendingCall() {
    const std::function<void()>* pCall;
    {
        std::lock_guard lock(m_mtxCall);
        pCall = m_pPendingCall;
        m_pPendingCall = nullptr;
    }
    if (!pCall)
        return;
    (*pCall)();
    {
        std::lock_guard lock(m_mtxCall);
        m_bCallDone = true;
    }
    m_cvCall.notify_all();
}

void CMorFWUploadDlg::ShowLogText(const std::string& strAppended) {
    OnWindowThread([&] { m_edtLog->AppendText(FromUtf8(strAppended)); });
}

void CMorFWUploadDlg::ShowProgress() {
    if (m_nProgressUpper > m_nProgressLower) {
        m_ctlProgress->setRange(m_nProgressLower, m_nProgressUpper);
        m_ctlProgress->setValue(m_nProgressPos);
    } else {
        // An empty range shows an empty bar (not the busy indicator an empty range means here).
        m_ctlProgress->setRange(0, 1);
        m_ctlProgress->setValue(0);
    }
}

void CMorFWUploadDlg::SetProgressRange(int nLower, int nUpper) {
    OnWindowThread([&] {
        m_nProgressLower = nLower;
        m_nProgressUpper = nUpper;
        m_nProgressPos = std::clamp(m_nProgressPos, nLower, std::max(nLower, nUpper));
        ShowProgress();
    });
}

void CMorFWUploadDlg::SetProgressPos(int nPos) {
    OnWindowThread([&] {
        m_nProgressPos =
            std::clamp(nPos, m_nProgressLower, std::max(m_nProgressLower, m_nProgressUpper));
        ShowProgress();
    });
}

void CMorFWUploadDlg::DeltaProgressPos(int nDelta) {
    OnWindowThread([&] {
        const long long nPos = static_cast<long long>(m_nProgressPos) + nDelta;
        m_nProgressPos = static_cast<int>(std::clamp<long long>(
            nPos, m_nProgressLower, std::max(m_nProgressLower, m_nProgressUpper)));
        ShowProgress();
    });
}

std::string CMorFWUploadDlg::GetPortText() {
    std::string strText;
    OnWindowThread([&] { strText = m_cmbPort->currentText().toStdString(); });
    return strText;
}

MsgBoxResult CMorFWUploadDlg::ShowMessageBox(const std::string& strText,
                                             const std::string& strCaption, MsgBoxIcon eIcon,
                                             MsgBoxButtons eButtons) {
    return ShowDetailedMessageBox(strText, strCaption, eIcon, eButtons, {});
}

MsgBoxResult CMorFWUploadDlg::ShowDetailedMessageBox(const std::string& strText,
                                                     const std::string& strCaption,
                                                     MsgBoxIcon eIcon, MsgBoxButtons eButtons,
                                                     const std::string& strDetail) {
    MsgBoxResult eResult = MsgBoxResult::Ok;
    OnWindowThread([&] {
        const QMessageBox::StandardButton answer = DoMessageBox(
            FromUtf8(strText), FromUtf8(strCaption),
            eIcon == MsgBoxIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
            eButtons == MsgBoxButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                             : QMessageBox::StandardButtons(QMessageBox::Ok),
            FromUtf8(strDetail));
        eResult = answer == QMessageBox::Yes  ? MsgBoxResult::Yes
                  : answer == QMessageBox::No ? MsgBoxResult::No
                                              : MsgBoxResult::Ok;
    });
    return eResult;
}

void CMorFWUploadDlg::FocusPortBox() {
    OnWindowThread([&] { m_cmbPort->setFocus(Qt::OtherFocusReason); });
}

void CMorFWUploadDlg::RestoreStartCaption() {
    OnWindowThread([&] {
        m_btnStart->setText(FromUtf8(m_strStartCaption));
        // The session clears its busy flag only after this, with no word to the window.
        m_tmrSessionEnd.start();
    });
}
