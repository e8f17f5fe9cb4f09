#pragma once
// What the window's tests share: a program directory with a small image set, waits that run
// the window's event loop, and an operator that answers message boxes as they open.

#include <QFont>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include "platform/Beep.h"

#include <atomic>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// A program directory in a temporary folder. MorFWImg/ holds five small valid images
// (3 + 2 + 3 load records in images 2 to 4) and, unless strRevision is empty, an INI file with
// that revision.
class CTempAppDir {
public:
    static constexpr int RECORDS_SBOOT = 3;
    static constexpr int RECORDS_KERNEL = 2;
    static constexpr int RECORDS_FIRMWARE = 3;

    explicit CTempAppDir(std::optional<std::string> strRevision = std::string("2.7.1 (test set)"));

    // Ends in '/'.
    const std::string& Path() const { return m_strPath; }
    std::string ImageDir() const { return m_strPath + "MorFWImg/"; }
    // A file with the given text below the program directory (folders are made).
    void WriteFile(const std::string& strRelPath, const std::string& strText) const;

private:
    QTemporaryDir m_dir;
    std::string m_strPath;
};

// Runs the window's event loop (blocking between events, so the dialog sees its idle moments)
// until pred holds or the time runs out. Returns pred's last value.
bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs);

// A message box as the operator saw it.
struct BOX_SEEN {
    QString strCaption;
    QString strText;
    QString strInformative; // the detail below the text
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool bParentIsDialog = false; // owned by the window that was expected
    // How the box laid its texts out.
    QString strShownDetail;   // the detail as shown, line breaks included
    bool bLabelWraps = false; // a label breaks lines of its own accord
    int nTextWidth = 0;       // the widths of the text's and the detail's labels
    int nDetailWidth = 0;
    int nMaxTextWidth = 0; // the widest line the box allows on its screen
    QFont font;            // the labels' font
    QSize size;            // the box's
    int nScreenWidth = 0;  // the screen's available width
};

// Sets the application font for one scope.
struct ScopedAppFont {
    explicit ScopedAppFont(int nPointSize);
    ~ScopedAppFont();
    QFont saved;
};

// Watches for modal message boxes and answers each one the moment it opens. The decision may
// itself run the event loop (to look at the window while the box is open).
class CBoxAnswerer : public QObject {
    Q_OBJECT

public:
    using Decide = std::function<QMessageBox::StandardButton(const BOX_SEEN&)>;

    // pExpectedParent: the window the boxes must be modal to. The default decision presses OK,
    // or Yes in a Yes/No box.
    explicit CBoxAnswerer(QWidget* pExpectedParent, Decide decide = {});
    ~CBoxAnswerer() override;

    std::vector<BOX_SEEN> seen;

    // Other modal dialogs (the about box): called once each, then the dialog is closed.
    std::function<void(QDialog*)> onOtherDialog;

private:
    void Poll();

    QWidget* m_pExpectedParent;
    Decide m_decide;
    QTimer m_timer;
    bool m_bBusy = false;
    std::vector<QPointer<QDialog>> m_handled;
};

// Records what the dialog asks the desktop to open.
class CUrlRecorder : public QObject {
    Q_OBJECT

public:
    CUrlRecorder(); // handles "file" addresses
    ~CUrlRecorder() override;
    std::vector<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// A system tty tree with the given ports (names below /dev), for the port list.
struct FakeTtyTree {
    explicit FakeTtyTree(const QStringList& names);
    std::string Sys() const { return (dir.path() + "/sys").toStdString(); }
    std::string Dev() const { return (dir.path() + "/dev").toStdString(); }
    QString DevPath(const QString& name) const { return dir.path() + "/dev/" + name; }
    QTemporaryDir dir;
};

// Beep codes are counted, not played, and take no time.
struct SilentBeeps {
    SilentBeeps() {
        previous = SetBeepSink([this](DWORD, DWORD) { ++nBeeps; });
    }
    ~SilentBeeps() { SetBeepSink(previous); }
    BeepSink previous;
    std::atomic<int> nBeeps{0};
};
