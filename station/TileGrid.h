#pragma once
// The tiles laid out in a grid that fills the window: as many columns as make the tiles'
// text largest, rows of equal height, a small gap between them.

#include <QWidget>

#include <vector>

class CFixtureTile;

// The number of columns for nTiles tiles in an area of this size, the one whose tiles' text
// (CFixtureTile::UnitFor) comes out largest; 0 for no tiles.
int GridColumns(int nTiles, const QSize& area, int nGap);

class CTileGrid : public QWidget {
public:
    explicit CTileGrid(QWidget* pParent = nullptr);

    void Add(CFixtureTile* pTile);
    void Remove(CFixtureTile* pTile);
    const std::vector<CFixtureTile*>& Tiles() const { return m_tiles; }
    int Columns() const { return m_nColumns; }

protected:
    void resizeEvent(QResizeEvent* pEvent) override;

private:
    void Relayout();
    std::vector<CFixtureTile*> m_tiles;
    int m_nColumns = 0;
};
