#include "AppTestSupport.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "app/MessageBox.h"

#include <cstdio>

namespace {

// One S1 line: count, 16-bit address, data, checksum (ones' complement of the byte sum).
std::string S1Line(unsigned nAddr, const std::vector<unsigned char>& data) {
    const unsigned nCount = static_cast<unsigned>(data.size()) + 3;
    unsigned nSum = nCount + (nAddr >> 8) + (nAddr & 0xFF);
    char buf[8];
    std::string strLine = "S1";
    std::snprintf(buf, sizeof buf, "%02X%04X", nCount, nAddr);
    strLine += buf;
    for (const unsigned char b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        strLine += buf;
        nSum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~nSum & 0xFF);
    return strLine + buf + "\n";
}

std::string Bytes(int nLength, int nSeed) {
    std::string str;
    for (int i = 0; i < nLength; ++i)
        str += static_cast<char>(0x20 + (i * 7 + nSeed) % 0x50);
    return str;
}

std::string S19(int nRecords, unsigned nBase, int nSeed) {
    std::string str = "S00600004844521B\n";
    for (int r = 0; r < nRecords; ++r) {
        std::vector<unsigned char> data;
        for (int i = 0; i < 16; ++i)
            data.push_back(static_cast<unsigned char>((r * 16 + i) * 13 + nSeed));
        str += S1Line(nBase + static_cast<unsigned>(r) * 16, data);
    }
    return str + "S9030000FC\n";
}

} // namespace

CTempAppDir::CTempAppDir(std::optional<std::string> strRevision) {
    m_strPath = QDir(m_dir.path()).absolutePath().toStdString() + "/";
    WriteFile("MorFWImg/Shutup.bin", Bytes(24, 1));
    WriteFile("MorFWImg/BootI.bin", Bytes(48, 2));
    WriteFile("MorFWImg/SBoot.bin", Bytes(64 * (RECORDS_SBOOT - 1) + 10, 3));
    WriteFile("MorFWImg/kernimg.s19", S19(RECORDS_KERNEL, 0x1000, 4));
    WriteFile("MorFWImg/Morvane.s19", S19(RECORDS_FIRMWARE, 0x4000, 5));
    if (strRevision && !strRevision->empty())
        WriteFile("MorFWImg/MorFWImg.ini", "[Firmware_Info]\r\nVerion=" + *strRevision + "\r\n");
}

void CTempAppDir::WriteFile(const std::string& strRelPath, const std::string& strText) const {
    const QString strPath = QString::fromStdString(m_strPath + strRelPath);
    QDir().mkpath(QFileInfo(strPath).absolutePath());
    QFile file(strPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(strText.data(), static_cast<qint64>(strText.size()));
}

bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    if (pred())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (pred())
            loop.quit();
    });
    QTimer::singleShot(nTimeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return pred();
}

CBoxAnswerer::CBoxAnswerer(QWidget* pExpectedParent, Decide decide)
    : m_pExpectedParent(pExpectedParent), m_decide(std::move(decide)) {
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &CBoxAnswerer::Poll);
    m_timer.start();
}

CBoxAnswerer::~CBoxAnswerer() = default;

void CBoxAnswerer::Poll() {
    if (m_bBusy)
        return;
    auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!pDialog || !pDialog->isVisible())
        return;
    for (const auto& p : m_handled)
        if (p == pDialog)
            return;
    m_handled.emplace_back(pDialog);
    m_bBusy = true;
    if (auto* pBox = qobject_cast<QMessageBox*>(pDialog)) {
        BOX_SEEN box;
        box.strCaption = pBox->windowTitle();
        box.strText = pBox->text();
        box.strInformative = pBox->informativeText();
        box.icon = pBox->icon();
        box.buttons = pBox->standardButtons();
        if (QAbstractButton* pDefault = pBox->defaultButton())
            box.defaultButton = pBox->standardButton(pDefault);
        box.bParentIsDialog = pBox->parentWidget() == m_pExpectedParent;
        box.size = pBox->size();
        if (QScreen* pScreen = pBox->screen())
            box.nScreenWidth = pScreen->availableGeometry().width();
        if (auto* pFitted = qobject_cast<CMessageBox*>(pBox))
            box.nMaxTextWidth = pFitted->MaxTextWidth();
        if (auto* pText = pBox->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
            box.font = pText->font();
            box.nTextWidth = pText->contentsRect().width();
            box.bLabelWraps = pText->wordWrap();
        }
        if (auto* pDetail = pBox->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
            pDetail && pDetail->isVisible()) {
            box.strShownDetail = pDetail->text();
            box.nDetailWidth = pDetail->contentsRect().width();
            box.bLabelWraps = box.bLabelWraps || pDetail->wordWrap();
        }
        seen.push_back(box);
        QMessageBox::StandardButton answer =
            (box.buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
        if (m_decide)
            answer = m_decide(box);
        if (QAbstractButton* pButton = pBox->button(answer))
            pButton->click();
        else
            pBox->reject();
    } else {
        if (onOtherDialog)
            onOtherDialog(pDialog);
        if (pDialog)
            pDialog->reject();
    }
    m_bBusy = false;
}

ScopedAppFont::ScopedAppFont(int nPointSize) : saved(QApplication::font()) {
    QFont font = saved;
    font.setPointSize(nPointSize);
    QApplication::setFont(font);
}

ScopedAppFont::~ScopedAppFont() {
    QApplication::setFont(saved);
}

CUrlRecorder::CUrlRecorder() {
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open");
}

CUrlRecorder::~CUrlRecorder() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

FakeTtyTree::FakeTtyTree(const QStringList& names) {
    const QString strRoot = dir.path();
    QDir().mkpath(strRoot + "/sys");
    QDir().mkpath(strRoot + "/dev");
    for (const QString& name : names) {
        QDir().mkpath(strRoot + "/sys/" + name + "/device");
        QFile node(strRoot + "/dev/" + name);
        (void)node.open(QIODevice::WriteOnly);
    }
}
