#pragma once

#include <QSize>

// Size arithmetic shared by the output windows, the scalers and the scaling information line.

// The physical pixel size of a logical size at a device pixel ratio, each side rounded half away
// from zero; invalid when the size is empty or the ratio is not a positive finite number.
QSize devicePixelSize(QSize logical, qreal devicePixelRatio);

// The largest size of the source's aspect ratio inside the bounds (the derived side truncated);
// invalid when either size is empty.
QSize fitSize(QSize source, QSize bounds);
