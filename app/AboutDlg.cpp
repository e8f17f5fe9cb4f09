#include "app/AboutDlg.h"

#include "app/DialogTexts.h"
#include "app/DialogUnits.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QString::fromUtf8(ABOUT_TITLE));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    const CDialogUnits du(font());

    // The icon at its large size, at the place the layout gives its top-left corner.
    const int nIcon = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    m_pIcon = new QLabel(this);
    m_pIcon->setPixmap(QApplication::windowIcon().pixmap(nIcon, nIcon));
    m_pIcon->setGeometry(QRect(du.MapDialogRect(11, 17, 0, 0).topLeft(), QSize(nIcon, nIcon)));

    m_pVersion = new QLabel(QString::fromUtf8(ABOUT_VERSION), this);
    m_pVersion->setGeometry(du.MapDialogRect(40, 10, 119, 8));

    m_pNotice = new QLabel(QString::fromUtf8(ABOUT_NOTICE), this);
    m_pNotice->setGeometry(du.MapDialogRect(40, 25, 119, 8));

    m_pOK = new QPushButton(QStringLiteral("OK"), this);
    m_pOK->setGeometry(du.MapDialogRect(178, 7, 50, 14));
    m_pOK->setDefault(true);
    connect(m_pOK, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(du.MapX(235), du.MapY(55));
}
