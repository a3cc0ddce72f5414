#pragma once

// Placement of the Program tiles in the MAIN multiview: how many columns fit the viewport and how
// high each tile is. At most three columns of tiles at least 212 px wide (8 px gaps); the height
// shares the viewport between at most two rows and stays within 124..240 px, so a low viewport
// scrolls rather than squashing the tiles. Pure arithmetic, used on the GUI thread.
class MultiviewGrid
{
public:
    MultiviewGrid(int viewportWidth, int viewportHeight, int tileCount);

    int columns() const { return m_columns; }
    int rows() const { return m_rows; }
    int tileHeight() const { return m_tileHeight; }

private:
    int m_columns = 1;
    int m_rows = 0;
    int m_tileHeight = 124;
};
