#pragma once
// One fixture's tile: its label and stable name, its state in big words on the state's colour,
// the progress bar while flashing, elapsed time and retries, the fixture's counts of the day,
// and its Start button (fixtures with start keys) or serial-number field (--ask-serial).
// Painted by hand: the text sizes follow the tile's size, so that the words stay readable from
// a distance with any number of fixtures and at any scale.
//
// A click, Enter or Return on the tile asks for the unit's transcript.

#include "station/TileModel.h"

#include <QColor>
#include <QFrame>

class QLineEdit;
class QPushButton;

class CFixtureTile : public QFrame {
    Q_OBJECT

public:
    CFixtureTile(int nIndex, QWidget* pParent = nullptr);

    void SetView(const station::TileView& view);
    const station::TileView& View() const { return m_view; }
    // Shows the serial-number field (with the keyboard focus) or hides it.
    void AskSerial(bool bAsk);
    QLineEdit* SerialField() const { return m_edtSerial; }
    QPushButton* StartButton() const { return m_btnStart; }
    void SetStartText(const QString& strText);

    // The colours of a look: fill, text, frame.
    struct Colours {
        QColor fill, text, frame;
    };
    static Colours ColoursOf(station::TileLook look);
    // The glyph beside the state words (a shape as well as a colour).
    static QString GlyphOf(station::TileLook look);
    // The size the texts are measured in, for a tile of this size.
    static int UnitFor(const QSize& size);

signals:
    void transcriptRequested(int nIndex);
    void startRequested(int nIndex);
    void serialEntered(int nIndex, const QString& strSerial);
    void serialCancelled(int nIndex);

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void PlaceChildren();

    int m_nIndex;
    station::TileView m_view;
    QPushButton* m_btnStart;
    QLineEdit* m_edtSerial;
};
