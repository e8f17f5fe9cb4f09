#pragma once
// The log pane: a read-only multi-line text that the operator can select and copy from, painted
// in the system's window colours (not the dialog's face colour, as read-only fields usually are).
//
// The pane's text is kept exactly as written, with CR LF line ends. An append costs time in
// proportion to the appended text, however long the log has grown, and the newest line is
// always brought into view.

#include <QColor>
#include <QList>
#include <QPlainTextEdit>
#include <QString>

class QAction;

class ZEdit : public QPlainTextEdit {
    Q_OBJECT

public:
    ZEdit(const QColor& crText, const QColor& crBackground, QWidget* pParent = nullptr);
    ~ZEdit() override;

    // Appends text whose line ends are CR LF pairs. A CR that ends one append and an LF that
    // begins the next make one line end between them. Then the caret goes to the end of the
    // text and the view follows it.
    void AppendText(const QString& strText);

    // The whole text as written, CR LF line ends included.
    const QString& Text() const { return m_strText; }

    QColor TextColor() const { return m_crText; }
    QColor BackgroundColor() const { return m_crBackground; }

    // Actions offered below Copy and Select All in the pane's context menu.
    void SetMenuExtras(const QList<QAction*>& actions) { m_menuExtras = actions; }

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    QList<QAction*> m_menuExtras;
    QColor m_crText;
    QColor m_crBackground;
    QString m_strText;
};
