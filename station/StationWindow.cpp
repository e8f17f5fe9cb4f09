#include "station/StationWindow.h"

#include "MorFWVersion.h"
#include "app/DialogTexts.h"
#include "app/Help.h"
#include "app/MessageBox.h"
#include "platform/PrintableText.h"
#include "station/FixtureTile.h"
#include "station/TileGrid.h"
#include "station/TranscriptDlg.h"
#include "upload/UploadTexts.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileSystemWatcher>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

using station::ArrivalMode;
using station::EngineEvent;
using station::TileModel;

namespace {

constexpr const char* kHelpPage = "MorFWStation.html";
constexpr const char* kTitle = "MorFWStation";
constexpr int kStartKeys = 12;
constexpr int kTileRefreshMs = 250;

QString FromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString Escaped(const std::string& s) {
    return FromUtf8(EscapeControlChars(s));
}

// A count in the header: its caption small above, its figure large.
QLabel* AddCount(QGridLayout* pGrid, int nColumn, const QString& strCaption, QWidget* pParent,
                 const QColor& colour) {
    auto* pCaption = new QLabel(strCaption, pParent);
    pCaption->setAlignment(Qt::AlignCenter);
    auto* pValue = new QLabel(QStringLiteral("0"), pParent);
    pValue->setAlignment(Qt::AlignCenter);
    QFont f = pValue->font();
    f.setPointSizeF(f.pointSizeF() * 2.6);
    f.setBold(true);
    pValue->setFont(f);
    pValue->setMinimumWidth(QFontMetrics(f).horizontalAdvance(QStringLiteral("88.8 %")) +
                            QFontMetrics(f).averageCharWidth());
    QPalette pal = pValue->palette();
    pal.setColor(QPalette::WindowText, colour);
    pValue->setPalette(pal);
    pGrid->addWidget(pCaption, 0, nColumn);
    pGrid->addWidget(pValue, 1, nColumn, 2, 1);
    return pValue;
}

} // namespace

CStationWindow::CStationWindow(const station::StationOptions& options, station::StationSetup setup,
                               std::string strAppDir, QWidget* pParent)
    : QMainWindow(pParent), m_options(options), m_setup(std::move(setup)),
      m_strAppDir(std::move(strAppDir)), m_lock(m_setup.engine.lock) {
    setWindowTitle(QString::fromUtf8(kTitle) + QStringLiteral(" - ") +
                   Escaped(m_setup.strStationName));
    setWindowIcon(QApplication::windowIcon());

    auto* pCentral = new QWidget(this);
    auto* pLayout = new QVBoxLayout(pCentral);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);
    CreateHeader(pCentral);

    m_frmBanner = new QFrame(pCentral);
    m_frmBanner->setAutoFillBackground(true);
    QPalette pal = m_frmBanner->palette();
    pal.setColor(QPalette::Window, QColor(0xff, 0xb3, 0x00));
    pal.setColor(QPalette::WindowText, Qt::black);
    m_frmBanner->setPalette(pal);
    auto* pBanner = new QHBoxLayout(m_frmBanner);
    m_stcBanner = new QLabel(m_frmBanner);
    m_stcBanner->setTextFormat(Qt::PlainText);
    m_stcBanner->setWordWrap(true);
    QFont bannerFont = m_stcBanner->font();
    bannerFont.setPointSizeF(bannerFont.pointSizeF() * 1.3);
    bannerFont.setBold(true);
    m_stcBanner->setFont(bannerFont);
    m_btnReload = new QPushButton(QStringLiteral("&Reload Image Set..."), m_frmBanner);
    connect(m_btnReload, &QPushButton::clicked, this, &CStationWindow::OnReload);
    pBanner->addWidget(m_stcBanner, 1);
    pBanner->addWidget(m_btnReload);
    m_frmBanner->hide();

    m_pGrid = new CTileGrid(pCentral);
    pLayout->addWidget(m_frmBanner);
    pLayout->addWidget(m_pGrid, 1);
    setCentralWidget(pCentral);

    m_stcRecords = new QLabel(this);
    m_stcRecords->setTextFormat(Qt::PlainText);
    m_stcRecords->setText(QStringLiteral("Records: ") + Escaped(m_setup.strLogDir));
    statusBar()->addPermanentWidget(m_stcRecords);

    for (const auto& f : m_setup.fixtures)
        AddFixture(f.strPort, f.strLabel);
    CreateMenus();
    CreateStartKeys();
    RefreshHeader();
    RefreshBanner();
    WatchImages();

    // The pace in the header falls while no unit ends.
    m_tmrHeader.setInterval(10000);
    connect(&m_tmrHeader, &QTimer::timeout, this, &CStationWindow::RefreshHeader);
    m_tmrHeader.start();
    m_tmrTiles.setSingleShot(true);
    m_tmrTiles.setInterval(kTileRefreshMs);
    connect(&m_tmrTiles, &QTimer::timeout, this, &CStationWindow::RefreshDirty);
    connect(this, &CStationWindow::batchArrived, this, &CStationWindow::TakeBatches,
            Qt::QueuedConnection);

    const QFontMetrics fm(font());
    resize(fm.averageCharWidth() * 160, fm.height() * 45);
}

CStationWindow::~CStationWindow() {
    // The engine's thread ends first: no batch arrives for a window that is gone.
    m_pEngine.reset();
}

void CStationWindow::CreateHeader(QWidget* pParent) {
    auto* pHeader = new QFrame(pParent);
    pHeader->setFrameShape(QFrame::StyledPanel);
    auto* pRow = new QHBoxLayout(pHeader);
    auto* pText = new QVBoxLayout;
    m_stcTitle = new QLabel(pHeader);
    m_stcJob = new QLabel(pHeader);
    m_stcPeople = new QLabel(pHeader);
    QFont big = m_stcTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    for (QLabel* p : {m_stcTitle, m_stcJob, m_stcPeople}) {
        p->setTextFormat(Qt::PlainText);
        p->setFont(big);
        p->setTextInteractionFlags(Qt::TextSelectableByMouse);
        pText->addWidget(p);
    }
    big.setBold(true);
    m_stcTitle->setFont(big);
    pRow->addLayout(pText, 1);
    auto* pCounts = new QGridLayout;
    pCounts->setHorizontalSpacing(fontMetrics().averageCharWidth() * 3);
    m_stcPassed = AddCount(pCounts, 0, QStringLiteral("PASSED"), pHeader, QColor(0x1b, 0x5e, 0x20));
    m_stcFailed = AddCount(pCounts, 1, QStringLiteral("FAILED"), pHeader, QColor(0xb7, 0x1c, 0x1c));
    m_stcYield =
        AddCount(pCounts, 2, QStringLiteral("YIELD"), pHeader, palette().windowText().color());
    m_stcRate = AddCount(pCounts, 3, QStringLiteral("UNITS / HOUR"), pHeader,
                         palette().windowText().color());
    pRow->addLayout(pCounts);
    static_cast<QVBoxLayout*>(pParent->layout())->addWidget(pHeader);
}

void CStationWindow::CreateMenus() {
    QMenu* pStation = menuBar()->addMenu(QStringLiteral("&Station"));
    if (m_setup.engine.mode == ArrivalMode::StartKey) {
        m_actStartAll = pStation->addAction(QStringLiteral("&Start Every Fixture"), this,
                                            &CStationWindow::OnStartAll);
        m_actStartAll->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    }
    m_actReload = pStation->addAction(QStringLiteral("&Reload Image Set..."), this,
                                      &CStationWindow::OnReload);
    m_actReload->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    QAction* pLogs = pStation->addAction(QStringLiteral("Open &Log Folder"), this,
                                         &CStationWindow::OnOpenLogFolder);
    pLogs->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    pStation->addSeparator();
    QAction* pClose = pStation->addAction(QStringLiteral("&Close"), this, &QWidget::close);
    pClose->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* pHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    m_actHelp = pHelp->addAction(QStringLiteral("&Help"), this, &CStationWindow::OnHelp);
    // F1 to F12 start the fixtures where they have start keys; help is then on Ctrl+F1.
    m_actHelp->setShortcuts(
        m_setup.engine.mode == ArrivalMode::StartKey
            ? QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::Key_F1)}
            : QList<QKeySequence>{QKeySequence(Qt::Key_F1), QKeySequence(Qt::CTRL | Qt::Key_F1)});
    pHelp->addSeparator();
    m_actAbout =
        pHelp->addAction(QStringLiteral("&About MorFWStation..."), this, &CStationWindow::OnAbout);
}

void CStationWindow::CreateStartKeys() {
    if (m_setup.engine.mode != ArrivalMode::StartKey)
        return;
    for (int i = 0; i < std::min(TileCount(), kStartKeys); ++i) {
        // A foot switch that types the key works as well as the keyboard.
        auto* pKey = new QShortcut(QKeySequence(Qt::Key_F1 + i), this);
        pKey->setContext(Qt::ApplicationShortcut);
        connect(pKey, &QShortcut::activated, this, [this, i] { OnStartKey(i); });
    }
}

int CStationWindow::AddFixture(const std::string& strPort, const std::string& strLabel) {
    auto model = std::make_unique<TileModel>();
    model->strPort = strPort;
    model->strLabel = strLabel;
    model->mode = m_setup.engine.mode;
    // A device that comes back has its fixture's counts of the day again.
    if (const auto it = m_pastCounts.find(strPort); it != m_pastCounts.end()) {
        model->counts = it->second;
        m_pastCounts.erase(it);
    }
    const int nIndex = TileCount();
    if (model->mode == ArrivalMode::StartKey && nIndex < kStartKeys)
        model->nKey = nIndex + 1;
    m_models.push_back(std::move(model));

    auto* pTile = new CFixtureTile(nIndex, m_pGrid);
    if (m_models.back()->nKey > 0)
        pTile->SetStartText(QStringLiteral("Start (F%1)").arg(m_models.back()->nKey));
    // Signals carry the tile's place at the time; tiles of watched devices come and go, so
    // each handler finds its model by the tile itself.
    const auto indexOf = [this, pTile] {
        const auto& tiles = m_pGrid->Tiles();
        return static_cast<int>(std::find(tiles.begin(), tiles.end(), pTile) - tiles.begin());
    };
    connect(pTile, &CFixtureTile::transcriptRequested, this,
            [=, this] { OnTranscript(indexOf()); });
    connect(pTile, &CFixtureTile::startRequested, this, [=, this] { OnStartKey(indexOf()); });
    connect(pTile, &CFixtureTile::serialEntered, this,
            [=, this](int, const QString& s) { OnSerialEntered(indexOf(), s); });
    connect(pTile, &CFixtureTile::serialCancelled, this,
            [=, this] { OnSerialCancelled(indexOf()); });
    m_pGrid->Add(pTile);
    Refresh(nIndex);
    return nIndex;
}

void CStationWindow::RemoveFixture(int nIndex) {
    if (m_nTranscriptOf == nIndex)
        m_nTranscriptOf = -1;
    else if (m_nTranscriptOf > nIndex)
        --m_nTranscriptOf;
    m_pGrid->Remove(Tile(nIndex));
    const auto& m = m_models[static_cast<std::size_t>(nIndex)];
    m_pastCounts[m->strPort] = m->counts;
    m_models.erase(m_models.begin() + nIndex);
}

CFixtureTile* CStationWindow::Tile(int nIndex) const {
    return m_pGrid->Tiles().at(static_cast<std::size_t>(nIndex));
}

int CStationWindow::Find(const std::string& strPort) const {
    for (int i = 0; i < TileCount(); ++i) {
        if (m_models[static_cast<std::size_t>(i)]->strPort == strPort)
            return i;
    }
    return -1;
}

double CStationWindow::Now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

bool CStationWindow::StartEngine(std::string& strError) {
    m_pEngine = std::make_unique<station::StationEngine>(
        m_setup.engine, [this](std::vector<EngineEvent>&& batch) {
            {
                std::lock_guard lock(m_mtxBatches);
                m_batches.push_back(std::move(batch));
                if (m_batches.size() > 1)
                    return; // a delivery is already on its way
            }
            emit batchArrived();
        });
    if (!m_pEngine->Start(strError)) {
        m_pEngine.reset();
        return false;
    }
    // A rehearsal's units arrive by themselves.
    if (m_options.bStart || m_options.nRehearse > 0)
        OnStartAll();
    return true;
}

// --- Operator -----------------------------------------------------------------------------------

void CStationWindow::OnStartKey(int nIndex) {
    if (nIndex < 0 || nIndex >= TileCount() || !m_pEngine || m_bEnding)
        return;
    TileModel& m = *m_models[static_cast<std::size_t>(nIndex)];
    if (m.mode != ArrivalMode::StartKey || m.Busy())
        return;
    if (m_options.bAskSerial) {
        AskSerial(nIndex);
        return;
    }
    m_pEngine->StartUnit(m.strPort);
}

void CStationWindow::OnStartAll() {
    for (int i = 0; i < TileCount(); ++i)
        OnStartKey(i);
}

void CStationWindow::AskSerial(int nIndex) {
    TileModel& m = *m_models[static_cast<std::size_t>(nIndex)];
    m.bAsking = true;
    Refresh(nIndex);
    // The scanner types into the field that has the focus: a second tile that asks does not
    // take it from the first.
    bool bOtherAsks = false;
    for (int i = 0; i < TileCount(); ++i)
        bOtherAsks = bOtherAsks || (i != nIndex && Tile(i)->SerialField()->hasFocus());
    Tile(nIndex)->AskSerial(true);
    if (bOtherAsks)
        return;
    Tile(nIndex)->SerialField()->setFocus(Qt::OtherFocusReason);
}

void CStationWindow::OnSerialEntered(int nIndex, const QString& strSerial) {
    if (nIndex < 0 || nIndex >= TileCount() || !m_pEngine)
        return;
    TileModel& m = *m_models[static_cast<std::size_t>(nIndex)];
    if (!m.bAsking)
        return;
    m.bAsking = false;
    Tile(nIndex)->AskSerial(false);
    Tile(nIndex)->setFocus(Qt::OtherFocusReason);
    Refresh(nIndex);
    m_pEngine->StartUnit(m.strPort, EscapeControlChars(strSerial.toStdString()));
    // The next tile that asks gets the scanner.
    for (int i = 0; i < TileCount(); ++i) {
        if (m_models[static_cast<std::size_t>(i)]->bAsking) {
            Tile(i)->SerialField()->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
}

void CStationWindow::OnSerialCancelled(int nIndex) {
    if (nIndex < 0 || nIndex >= TileCount())
        return;
    TileModel& m = *m_models[static_cast<std::size_t>(nIndex)];
    m.bAsking = false;
    Tile(nIndex)->AskSerial(false);
    Tile(nIndex)->setFocus(Qt::OtherFocusReason);
    if (m.mode != ArrivalMode::StartKey && m_pEngine)
        m_pEngine->Abandon(m.strPort);
    Refresh(nIndex);
}

QString CStationWindow::TranscriptHeading(int nIndex) const {
    const TileModel& m = *m_models[static_cast<std::size_t>(nIndex)];
    const station::TileView v = station::DescribeTile(m);
    QString s = FromUtf8(v.strTitle + "  " + m.strPort + "\n" + v.strState);
    if (!v.strDetail.empty())
        s += QStringLiteral(": ") + FromUtf8(v.strDetail);
    if (!m.unit.strLogFile.empty())
        s += QStringLiteral("\nLog file: ") + Escaped(m.unit.strLogFile);
    return s;
}

void CStationWindow::OnTranscript(int nIndex) {
    if (nIndex < 0 || nIndex >= TileCount())
        return;
    if (!m_pTranscript)
        m_pTranscript = new CTranscriptDlg(this);
    m_nTranscriptOf = nIndex;
    const TileModel& m = *m_models[static_cast<std::size_t>(nIndex)];
    m_pTranscript->setWindowTitle(QStringLiteral("Transcript - ") +
                                  FromUtf8(station::DescribeTile(m).strTitle));
    m_pTranscript->Show(TranscriptHeading(nIndex), FromUtf8(m.strTranscript));
    m_pTranscript->show();
    m_pTranscript->raise();
    m_pTranscript->activateWindow();
}

void CStationWindow::OnReload() {
    if (!m_pEngine || m_bEnding)
        return;
    const fleet::ImageSetLock now = fleet::ReadImageSet(m_lock.strImageDir);
    QString text = QStringLiteral("Take the image set in %1 as it is on disk now?\n\n")
                       .arg(Escaped(m_lock.strImageDir));
    text += QStringLiteral("Held now: revision %1, sha256 %2\nOn disk: revision %3, sha256 %4\n")
                .arg(Escaped(m_lock.strRevision), FromUtf8(fleet::ShortDigest(m_lock.strSetDigest)),
                     Escaped(now.strRevision), FromUtf8(fleet::ShortDigest(now.strSetDigest)));
    if (!m_strImagesChanged.empty())
        text += QStringLiteral("\n") + FromUtf8(m_strImagesChanged) + QStringLiteral("\n");
    text += QStringLiteral("\nEvery unit started from now on gets this set, and its record names "
                           "the set's digest.");
    CMessageBox box(QMessageBox::Question, QString::fromUtf8(kTitle), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() == QMessageBox::Yes)
        m_pEngine->ReloadImages();
}

void CStationWindow::OnHelp() {
    const QString strPage = FindHelpPage(m_strAppDir, kHelpPage);
    QString strProblem;
    if (strPage.isEmpty())
        strProblem = QString::fromUtf8(MSG_HELP_NOT_FOUND).arg(QLatin1String(kHelpPage));
    else if (!QDesktopServices::openUrl(HelpContentsUrl(strPage)))
        strProblem = QString::fromUtf8(MSG_NO_HELP_VIEWER).arg(strPage);
    if (strProblem.isEmpty())
        return;
    CMessageBox box(QMessageBox::Warning, QString::fromUtf8(CAPTION_ERROR), strProblem,
                    QMessageBox::Ok, this);
    box.exec();
}

void CStationWindow::OnAbout() {
    QMessageBox::about(this, QStringLiteral("About MorFWStation"),
                       QStringLiteral("<b>MorFWStation</b> Version " MORFW_VERSION
                                      "<p>The production station for Morvane&reg; 2000 "
                                      "firmware upload: a tile per fixture, the day's counts, "
                                      "the image set locked.</p><p>Each unit is flashed by "
                                      "<code>morfw</code>, beside this program.</p>"));
}

void CStationWindow::OnOpenLogFolder() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(FromUtf8(m_setup.strLogDir)));
}

void CStationWindow::closeEvent(QCloseEvent* pEvent) {
    if (m_bMayClose || !m_pEngine) {
        pEvent->accept();
        return;
    }
    pEvent->ignore();
    if (m_bEnding)
        return; // the banner says what it waits for
    bool bRunning = false;
    for (const auto& m : m_models)
        bRunning = bRunning || m->Running();
    if (bRunning) {
        // The dialog's own question: closing cancels every unit being flashed.
        CMessageBox box(QMessageBox::Warning, QString::fromUtf8(CAPTION_WARNING),
                        QString::fromUtf8(MSG_CANCEL_QUESTION), QMessageBox::Yes | QMessageBox::No,
                        this);
        box.setDefaultButton(QMessageBox::Yes);
        if (box.exec() != QMessageBox::Yes)
            return;
    }
    m_bEnding = true;
    m_pEngine->CancelAll();
    for (int i = 0; i < TileCount(); ++i) {
        Tile(i)->AskSerial(false);
        m_models[static_cast<std::size_t>(i)]->bAsking = false;
        Refresh(i);
    }
    RefreshBanner();
}

// --- The engine's events ------------------------------------------------------------------------

void CStationWindow::TakeBatches() {
    std::vector<std::vector<EngineEvent>> batches;
    {
        std::lock_guard lock(m_mtxBatches);
        batches.swap(m_batches);
    }
    for (auto& batch : batches) {
        for (auto& e : batch)
            Handle(e);
    }
    RefreshHeader();
    CheckDone();
}

void CStationWindow::Handle(EngineEvent& e) {
    using Kind = EngineEvent::Kind;
    switch (e.kind) {
    case Kind::ImagesChanged:
        m_strImagesChanged = e.strText;
        RefreshBanner();
        return;
    case Kind::ImagesLocked:
        m_lock = e.lock;
        m_strImagesChanged.clear();
        RefreshBanner();
        WatchImages();
        // The engine starts the units that waited, or holds them again.
        for (int i = 0; i < TileCount(); ++i) {
            m_models[static_cast<std::size_t>(i)]->bHeld = false;
            Refresh(i);
        }
        return;
    case Kind::AllEnded:
        if (m_bEnding) {
            m_bMayClose = true;
            close();
        }
        return;
    default:
        break;
    }

    int i = Find(e.strLabel);
    if (i < 0) {
        if (e.kind != Kind::Arrived)
            return;
        i = AddFixture(e.strLabel, {});
    }
    TileModel& m = *m_models[static_cast<std::size_t>(i)];
    CTranscriptDlg* const pShown =
        m_nTranscriptOf == i && m_pTranscript && m_pTranscript->isVisible() ? m_pTranscript.data()
                                                                            : nullptr;
    switch (e.kind) {
    case Kind::Arrived:
        // A new unit: the last one's result goes.
        if (!m.Running() && m.bUnit)
            m.Clear();
        m.bStale = false;
        m.bPresent = true;
        m.strWatchError.clear();
        if (m_options.bAskSerial && !m_bEnding)
            AskSerial(i);
        break;
    case Kind::Left:
        m.bPresent = false;
        m.bAsking = m.bHeld = false;
        Tile(i)->AskSerial(false);
        if (m.Running()) {
            m.bStale = true; // its result stays until the next unit
        } else if (m.mode == ArrivalMode::Devices) {
            RemoveFixture(i);
            return;
        } else {
            m.Clear();
        }
        break;
    case Kind::Started:
        m.Clear();
        m.bPresent = m.mode != ArrivalMode::StartKey || m.bPresent;
        m.bUnit = true;
        m.unit = e.unit;
        m.counts.OnStarted(Now());
        m_counts.OnStarted(Now());
        if (pShown)
            pShown->Show(TranscriptHeading(i), QString());
        break;
    case Kind::Log:
        if (e.unit.nId != m.unit.nId)
            return;
        m.unit = e.unit;
        m.strTranscript += e.strText;
        if (pShown)
            pShown->Append(FromUtf8(e.strText));
        RefreshSoon(i);
        return;
    case Kind::Progress:
    case Kind::Tick:
        if (e.unit.nId != m.unit.nId || m.unit.bFinished)
            return;
        m.unit = e.unit;
        RefreshSoon(i);
        return;
    case Kind::Notice:
        statusBar()->showMessage(FromUtf8(station::DescribeTile(m).strTitle) +
                                 QStringLiteral(": ") + Escaped(e.strText));
        return;
    case Kind::Finished:
        if (e.unit.nId != m.unit.nId)
            return;
        m.unit = e.unit;
        m.counts.OnFinished(e.unit.nExitCode, Now());
        m_counts.OnFinished(e.unit.nExitCode, Now());
        m_codes.push_back(e.unit.nExitCode);
        if (pShown)
            pShown->SetHeading(TranscriptHeading(i));
        break;
    case Kind::WatchFailed:
        m.strWatchError = e.strText;
        break;
    case Kind::Held:
        m.bHeld = true;
        m.strHeldWhy = e.strText;
        break;
    default:
        return;
    }
    Refresh(i);
}

void CStationWindow::Refresh(int nIndex) {
    m_models[static_cast<std::size_t>(nIndex)]->bDirty = false;
    Tile(nIndex)->SetView(station::DescribeTile(*m_models[static_cast<std::size_t>(nIndex)]));
}

void CStationWindow::RefreshSoon(int nIndex) {
    // A running unit's figures change with every record: its tile is drawn a few times a
    // second, not at each one.
    m_models[static_cast<std::size_t>(nIndex)]->bDirty = true;
    if (!m_tmrTiles.isActive())
        m_tmrTiles.start();
}

void CStationWindow::RefreshDirty() {
    for (int i = 0; i < TileCount(); ++i) {
        if (m_models[static_cast<std::size_t>(i)]->bDirty)
            Refresh(i);
    }
}

QString CStationWindow::HeaderText() const {
    return m_stcTitle->text() + u'\n' + m_stcJob->text() + u'\n' + m_stcPeople->text();
}

QString CStationWindow::CountsText() const {
    return QStringLiteral("passed %1, failed %2, yield %3, units per hour %4")
        .arg(m_stcPassed->text(), m_stcFailed->text(), m_stcYield->text(), m_stcRate->text());
}

void CStationWindow::RefreshHeader() {
    m_stcTitle->setText(QStringLiteral("Station ") + Escaped(m_setup.strStationName));
    QString job = QStringLiteral("Firmware revision: ") + Escaped(m_lock.strRevision) +
                  QStringLiteral("     Image set: sha256 ") +
                  FromUtf8(fleet::ShortDigest(m_lock.strSetDigest));
    if (m_options.bSlow)
        job += QStringLiteral("     Slow Mode");
    if (m_options.bRelaxed)
        job += QStringLiteral("     Relaxed Error Checking");
    m_stcJob->setText(job);
    m_stcJob->setToolTip(Escaped(m_lock.strImageDir) + QStringLiteral("\nsha256 ") +
                         FromUtf8(m_lock.strSetDigest));
    const auto orDash = [](const std::string& s) {
        return s.empty() ? QStringLiteral("-") : Escaped(s);
    };
    m_stcPeople->setText(QStringLiteral("Operator: ") + orDash(m_options.strOperator) +
                         QStringLiteral("     Work order: ") + orDash(m_options.strWorkOrder));
    m_stcPassed->setText(QString::number(m_counts.Passed()));
    m_stcFailed->setText(QString::number(m_counts.Failed()));
    m_stcYield->setText(FromUtf8(fleet::FormatYield(m_counts.YieldPercent())));
    m_stcRate->setText(FromUtf8(fleet::FormatUnitsPerHour(m_counts.UnitsPerHour(Now()))));
}

QString CStationWindow::BannerText() const {
    return m_stcBanner->text();
}

bool CStationWindow::BannerShown() const {
    return !m_frmBanner->isHidden();
}

void CStationWindow::RefreshBanner() {
    QString text;
    if (m_bEnding) {
        int n = 0;
        for (const auto& m : m_models)
            n += m->Running() ? 1 : 0;
        text = n == 1 ? QStringLiteral("ENDING: the unit being flashed is cancelled; the window "
                                       "closes once its session has closed its port.")
                      : QStringLiteral("ENDING: the %1 units being flashed are cancelled; the "
                                       "window closes once every session has closed its port.")
                            .arg(n);
    } else if (!m_lock.bValid) {
        text = QStringLiteral("\u26a0 NO UNIT STARTS: the image set in ") +
               Escaped(m_lock.strImageDir) + QStringLiteral(" cannot be used: ") +
               Escaped(m_lock.strProblem) +
               QStringLiteral(". Put a valid set there, then reload it.");
    } else if (!m_strImagesChanged.empty()) {
        text = QStringLiteral("\u26a0 NO UNIT STARTS: the image set changed on disk since it was "
                              "taken. ") +
               FromUtf8(m_strImagesChanged).replace(u'\n', QStringLiteral("; ")) +
               QStringLiteral(". Reload it on purpose to go on with the new set.");
    }
    m_stcBanner->setText(text);
    m_btnReload->setVisible(!m_bEnding);
    m_frmBanner->setVisible(!text.isEmpty());
}

void CStationWindow::CheckDone() {
    if (m_bEnding && !m_bMayClose)
        RefreshBanner();
    if (!m_options.bQuitWhenDone || m_codes.empty() || m_bMayClose)
        return;
    for (const auto& m : m_models) {
        if (m->Busy())
            return;
    }
    m_bMayClose = true;
    close();
}

int CStationWindow::ExitCode() const {
    return fleet::RunExitCode(m_codes);
}

void CStationWindow::WatchImages() {
    // The files are compared by their digests before every unit; the watch only makes the
    // banner come at once rather than at the next unit.
    if (!m_pWatcher) {
        m_pWatcher = new QFileSystemWatcher(this);
        const auto changed = [this] {
            if (m_pEngine)
                m_pEngine->CheckImages();
            WatchImages(); // a file replaced by a rename is a new file to watch
        };
        connect(m_pWatcher, &QFileSystemWatcher::directoryChanged, this, changed);
        connect(m_pWatcher, &QFileSystemWatcher::fileChanged, this, changed);
    }
    const QDir dir(FromUtf8(m_lock.strImageDir));
    QStringList paths = {dir.absolutePath()};
    for (const QString& name : dir.entryList(QDir::Files))
        paths << dir.absoluteFilePath(name);
    const QStringList watched = m_pWatcher->files() + m_pWatcher->directories();
    QStringList missing;
    for (const QString& p : paths) {
        if (!watched.contains(p))
            missing << p;
    }
    if (!missing.isEmpty())
        m_pWatcher->addPaths(missing);
}
