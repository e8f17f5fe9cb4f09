#pragma once
// A unit's transcript: the text its session wrote to the log pane, exactly as the dialog's log
// pane shows it, growing while the unit is flashed. Not modal: the station goes on meanwhile.

#include <QDialog>

class QLabel;
class ZEdit;

class CTranscriptDlg : public QDialog {
    Q_OBJECT

public:
    explicit CTranscriptDlg(QWidget* pParent = nullptr);

    // A new unit (or another fixture's): the heading and the whole text so far.
    void Show(const QString& strHeading, const QString& strText);
    void SetHeading(const QString& strHeading);
    void Append(const QString& strText);
    QString Text() const;

private:
    QLabel* m_stcHeading;
    ZEdit* m_edtLog = nullptr;
};
