#include "app/ZEdit.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QPalette>
#include <QTextCursor>

#include <memory>

ZEdit::ZEdit(const QColor& crText, const QColor& crBackground, QWidget* pParent)
    : QPlainTextEdit(pParent), m_crText(crText), m_crBackground(crBackground) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    // Selectable and copyable by mouse and keyboard, but never a tab stop.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::ClickFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    // The same colours in every state, so the pane never turns grey while read-only,
    // inactive or disabled.
    QPalette pal = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Base, m_crBackground);
        pal.setColor(group, QPalette::Window, m_crBackground);
        pal.setColor(group, QPalette::Text, m_crText);
    }
    setPalette(pal);
    viewport()->setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

ZEdit::~ZEdit() = default;

void ZEdit::AppendText(const QString& strText) {
    m_strText += strText;

    // Shown text: the LF of a line end breaks the line and its CR shows nothing, so a CR
    // that ends one append and the LF that begins the next still make a single line end.
    QString strShown = strText;
    strShown.remove(u'\r');

    // Inserting at the end through a cursor of our own touches only the new text and the
    // last paragraph's layout, never the whole document.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (!strShown.isEmpty())
        cursor.insertText(strShown);

    // The caret goes to the end and the view follows it, whatever the length of the log.
    setTextCursor(cursor);
    ensureCursorVisible();
}

void ZEdit::contextMenuEvent(QContextMenuEvent* pEvent) {
    const std::unique_ptr<QMenu> pMenu(createStandardContextMenu(pEvent->pos()));
    if (!m_menuExtras.isEmpty()) {
        pMenu->addSeparator();
        pMenu->addActions(m_menuExtras);
    }
    pMenu->exec(pEvent->globalPos());
}
