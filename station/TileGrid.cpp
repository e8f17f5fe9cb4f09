#include "station/TileGrid.h"

#include "station/FixtureTile.h"

#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {
QSize TileSize(int nTiles, int nColumns, const QSize& area, int nGap) {
    const int nRows = (nTiles + nColumns - 1) / nColumns;
    return QSize((area.width() - nGap * (nColumns + 1)) / nColumns,
                 (area.height() - nGap * (nRows + 1)) / nRows);
}
} // namespace

int GridColumns(int nTiles, const QSize& area, int nGap) {
    int best = 0, bestUnit = -1;
    for (int c = 1; c <= nTiles; ++c) {
        const int u = CFixtureTile::UnitFor(TileSize(nTiles, c, area, nGap));
        if (u > bestUnit) { // fewer columns win a tie: wider tiles hold longer names
            best = c;
            bestUnit = u;
        }
    }
    return best;
}

CTileGrid::CTileGrid(QWidget* pParent) : QWidget(pParent) {}

void CTileGrid::Add(CFixtureTile* pTile) {
    pTile->setParent(this);
    m_tiles.push_back(pTile);
    // Tab goes through the tiles in the grid's order (each tile, then its own controls).
    if (m_tiles.size() > 1)
        setTabOrder(m_tiles[m_tiles.size() - 2]->StartButton(), pTile);
    setTabOrder(pTile, pTile->SerialField());
    setTabOrder(pTile->SerialField(), pTile->StartButton());
    pTile->show();
    Relayout();
}

void CTileGrid::Remove(CFixtureTile* pTile) {
    m_tiles.erase(std::remove(m_tiles.begin(), m_tiles.end(), pTile), m_tiles.end());
    pTile->hide();
    pTile->deleteLater();
    Relayout();
}

void CTileGrid::resizeEvent(QResizeEvent* pEvent) {
    QWidget::resizeEvent(pEvent);
    Relayout();
}

void CTileGrid::Relayout() {
    const int n = static_cast<int>(m_tiles.size());
    if (n == 0)
        return;
    const int gap = std::max(4, fontMetrics().height() / 3);
    m_nColumns = GridColumns(n, size(), gap);
    const QSize tile = TileSize(n, m_nColumns, size(), gap);
    for (int i = 0; i < n; ++i) {
        const int row = i / m_nColumns, col = i % m_nColumns;
        m_tiles[static_cast<std::size_t>(i)]->setGeometry(
            gap + col * (tile.width() + gap), gap + row * (tile.height() + gap),
            std::max(1, tile.width()), std::max(1, tile.height()));
    }
}
