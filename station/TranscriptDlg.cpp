#include "station/TranscriptDlg.h"

#include "app/ZEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CTranscriptDlg::CTranscriptDlg(QWidget* pParent) : QDialog(pParent) {
    auto* pLayout = new QVBoxLayout(this);
    m_stcHeading = new QLabel(this);
    m_stcHeading->setTextFormat(Qt::PlainText);
    m_stcHeading->setWordWrap(true);
    m_stcHeading->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pLayout->addWidget(m_stcHeading);
    // The pane is made anew for each unit (see Show); a place holder keeps its place.
    pLayout->addStretch();
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* pCopy =
        pButtons->addButton(QStringLiteral("&Copy All"), QDialogButtonBox::ActionRole);
    connect(pCopy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(Text()); });
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(pButtons);
    const QFontMetrics fm(font());
    resize(fm.averageCharWidth() * 90, fm.height() * 30);
}

void CTranscriptDlg::Show(const QString& strHeading, const QString& strText) {
    auto* pLayout = static_cast<QVBoxLayout*>(layout());
    const QPalette pal = QApplication::palette();
    auto* pEdit = new ZEdit(pal.color(QPalette::Active, QPalette::Text),
                            pal.color(QPalette::Active, QPalette::Base), this);
    if (m_edtLog) {
        delete pLayout->replaceWidget(m_edtLog, pEdit); // the old pane's layout item is ours
        delete m_edtLog;
    } else {
        delete pLayout->takeAt(1);
        pLayout->insertWidget(1, pEdit, 1);
    }
    m_edtLog = pEdit;
    m_edtLog->AppendText(strText);
    SetHeading(strHeading);
}

void CTranscriptDlg::SetHeading(const QString& strHeading) {
    m_stcHeading->setText(strHeading);
}

void CTranscriptDlg::Append(const QString& strText) {
    if (m_edtLog)
        m_edtLog->AppendText(strText);
}

QString CTranscriptDlg::Text() const {
    return m_edtLog ? m_edtLog->Text() : QString();
}
