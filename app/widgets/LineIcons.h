#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>

class QPainter;

// Every pictogram of the operator window is drawn here in code, so the program ships no image
// files and the icons follow the colour each place asks for: the 21 line icons of the rail, header,
// transport, tile and mute buttons, the application icon and the brand mark it contains. All of it
// runs on the GUI thread (QPixmap needs it).

// Line icon of kind 0..20 in the given colour: a 48 x 48 pixmap drawn on a 24 x 24 grid scaled by 2.
// Any other kind gives a fully transparent picture.
QIcon lineIcon(int kind, const QColor &color);

// The window and application icon: the brand mark on a dark rounded square in seven sizes, 16 to 256.
QIcon makeApplicationIcon();

// Paints the brand mark (a gradient letter Z with a play mark in its lower notch) into rect.
void drawBrandMark(QPainter *painter, const QRectF &rect);
