#pragma once
// A push button whose caption wraps at a space onto further lines when it is too wide for the
// button ("Cancel Upload" in a narrow font stays one line, in a wide one it takes two). The
// caption itself (text()) is never changed. The keyboard focus shows as a dotted frame.

#include <QPushButton>

class CWrapButton : public QPushButton {
    Q_OBJECT

public:
    explicit CWrapButton(const QString& strText, QWidget* pParent = nullptr);

    // The caption as painted for the current width: words joined by spaces or line breaks.
    QString WrappedText() const;

    // Where the dotted frame that shows the keyboard focus is drawn. The style draws a focused
    // button much as it draws the default one, and the default button is usually the one that
    // has the focus, so the focus gets a mark of its own, as on a Windows button.
    QRect FocusFrame() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};
