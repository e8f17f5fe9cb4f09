#pragma once
// The about box: the program icon, the program's name and version, a notice line and OK.

#include <QDialog>

class QLabel;
class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr);

    QLabel* m_pIcon;
    QLabel* m_pVersion;
    QLabel* m_pNotice;
    QPushButton* m_pOK;
};
