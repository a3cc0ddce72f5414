#include "app/MultiviewGrid.h"

#include <algorithm>

MultiviewGrid::MultiviewGrid(int viewportWidth, int viewportHeight, int tileCount)
{
    m_columns = std::clamp((viewportWidth + 8) / 220, 1, 3);
    m_rows = tileCount > 0 ? (tileCount + m_columns - 1) / m_columns : 0;
    const int sharedRows = std::max(1, std::min(m_rows, 2));
    m_tileHeight = std::clamp((viewportHeight + 8 - 8 * m_rows) / sharedRows, 124, 240);
}
