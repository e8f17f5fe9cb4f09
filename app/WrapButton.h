#pragma once
// A push button whose caption wraps at a space onto further lines when it is too wide for the
// button ("Cancel Upload" in a narrow font stays one line, in a wide one it takes two). The
// caption itself (text()) is never changed.

#include <QPushButton>

class CWrapButton : public QPushButton {
    Q_OBJECT

public:
    explicit CWrapButton(const QString& strText, QWidget* pParent = nullptr);

    // The caption as painted for the current width: words joined by spaces or line breaks.
    QString WrappedText() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};
