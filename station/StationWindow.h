#pragma once
// The station window: a header with the job (firmware revision, the image set's digest,
// operator, work order) and the day's counts; a banner when the job cannot go on (the image
// set changed on disk, the station is ending); a tile per fixture. The units' sessions run in
// the engine (StationEngine: fleet::Station and fleet::Runner on a thread of their own); the
// window follows their events and sends the operator's keys.

#include "fleet/DayCounts.h"
#include "station/StationEngine.h"
#include "station/StationOptions.h"
#include "station/TileModel.h"
#include "station/TranscriptDlg.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

class CFixtureTile;
class CTileGrid;
class QAction;
class QFileSystemWatcher;
class QFrame;
class QLabel;
class QPushButton;

class CStationWindow : public QMainWindow {
    Q_OBJECT

public:
    // strAppDir: the program's directory (help page), ending in '/'.
    CStationWindow(const station::StationOptions& options, station::StationSetup setup,
                   std::string strAppDir, QWidget* pParent = nullptr);
    ~CStationWindow() override;

    // Starts the engine (and, with --start, every fixture). False and strError when a watch
    // cannot be had.
    bool StartEngine(std::string& strError);

    // The exit code of the day: the most severe of the units' (0 without any).
    int ExitCode() const;

    // Handlers, public so that the tests reach them as the operator does.
    void OnStartKey(int nIndex);
    void OnStartAll();
    void OnSerialEntered(int nIndex, const QString& strSerial);
    void OnSerialCancelled(int nIndex);
    void OnTranscript(int nIndex);
    void OnReload();
    void OnHelp();
    void OnAbout();
    void OnOpenLogFolder();

    // What the operator sees, for the tests.
    int TileCount() const { return static_cast<int>(m_models.size()); }
    CFixtureTile* Tile(int nIndex) const;
    const station::TileModel& Model(int nIndex) const { return *m_models[nIndex]; }
    const fleet::DayCounts& Counts() const { return m_counts; }
    QString HeaderText() const;
    QString CountsText() const;
    QString BannerText() const;
    bool BannerShown() const;
    CTranscriptDlg* Transcript() const { return m_pTranscript; }
    CTileGrid* Grid() const { return m_pGrid; }
    QAction* HelpAction() const { return m_actHelp; }

signals:
    // A batch from the engine's thread, delivered on the window's.
    void batchArrived();

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    void CreateHeader(QWidget* pParent);
    void CreateMenus();
    void CreateStartKeys();
    int AddFixture(const std::string& strPort, const std::string& strLabel);
    int Find(const std::string& strPort) const;
    void RemoveFixture(int nIndex);
    void Refresh(int nIndex);
    void RefreshSoon(int nIndex);
    void RefreshDirty();
    void RefreshHeader();
    void RefreshBanner();
    void TakeBatches();
    void Handle(station::EngineEvent& e);
    void AskSerial(int nIndex);
    void CheckDone();
    void WatchImages();
    QString TranscriptHeading(int nIndex) const;
    double Now() const;

    station::StationOptions m_options;
    station::StationSetup m_setup;
    std::string m_strAppDir;
    fleet::ImageSetLock m_lock;
    std::string m_strImagesChanged; // what differs on disk from the set held, or ""

    std::vector<std::unique_ptr<station::TileModel>> m_models;
    fleet::DayCounts m_counts;
    std::map<std::string, fleet::DayCounts> m_pastCounts; // of devices that went away
    std::vector<int> m_codes;                             // every ended unit's exit code
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();

    std::unique_ptr<station::StationEngine> m_pEngine;
    std::mutex m_mtxBatches; // batches handed over from the engine's thread
    std::vector<std::vector<station::EngineEvent>> m_batches;

    bool m_bEnding = false;   // the operator confirmed: sessions are cancelled
    bool m_bMayClose = false; // every session has ended: the window may go
    QPointer<CTranscriptDlg> m_pTranscript;
    int m_nTranscriptOf = -1;

    QLabel* m_stcTitle = nullptr;
    QLabel* m_stcJob = nullptr;
    QLabel* m_stcPeople = nullptr;
    QLabel* m_stcPassed = nullptr;
    QLabel* m_stcFailed = nullptr;
    QLabel* m_stcYield = nullptr;
    QLabel* m_stcRate = nullptr;
    QFrame* m_frmBanner = nullptr;
    QLabel* m_stcBanner = nullptr;
    QPushButton* m_btnReload = nullptr;
    CTileGrid* m_pGrid = nullptr;
    QLabel* m_stcRecords = nullptr;
    QAction* m_actStartAll = nullptr;
    QAction* m_actReload = nullptr;
    QAction* m_actHelp = nullptr;
    QAction* m_actAbout = nullptr;
    QFileSystemWatcher* m_pWatcher = nullptr;
    QTimer m_tmrHeader;
    QTimer m_tmrTiles;
};
