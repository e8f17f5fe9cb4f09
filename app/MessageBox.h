#pragma once
// The dialog's message boxes, sized to their text. QMessageBox wraps its text at a fixed width
// (about 500 pixels, whatever the font), so with a larger font or at 150 % and 200 % the
// program's own line breaks came out re-wrapped and ragged. This box keeps every line of the
// text whole as long as the screen is wide enough for it, breaking longer lines only at spaces
// (and a path only after a separator: platform/TextWrap.h), and wraps the detail (the system's
// reason for a failure) at the text's width in the same way.

#include <QMessageBox>

class QLabel;

class CMessageBox : public QMessageBox {
    Q_OBJECT

public:
    CMessageBox(Icon icon, const QString& strCaption, const QString& strText,
                StandardButtons buttons, QWidget* pParent, const QString& strDetail = {});

    // The widest a line of text may be in this box on its screen.
    int MaxTextWidth() const;

protected:
    bool event(QEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;

private:
    // Lays the texts out by the rule above and fixes the box's size to them.
    void FitToText();

    QString m_strText;
    QString m_strDetail;
    QLabel* m_pText = nullptr;
    QLabel* m_pDetail = nullptr;
};
