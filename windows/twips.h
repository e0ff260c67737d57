#pragma once
// Window layouts are given in twips (1/1440 inch). At 96 dpi one pixel is 15
// twips; other logical dpi scale the same way, so a layout keeps its shape.
#include <QRect>
#include <QSize>

class QWidget;

// Pixels for a length in twips at the given logical dpi.
int tw(int twips, qreal dpi);
// Pixels for a length in twips at the primary screen's logical dpi (96 without a screen).
int tw(int twips);
QRect twRect(int left, int top, int width, int height);
QSize twSize(int width, int height);

// Puts a window's client area in the middle of the screen it is on.
void centreOnScreen(QWidget *window);

// Maps the Windows font families the windows name to installed fonts with
// similar metrics. Call once at start-up, before any window is built.
void installFontSubstitutions();

// The program's look, set once at start-up: the Windows font names mapped,
// ＭＳ Ｐゴシック 9 pt as the default font, and frames whose line runs through
// their caption (the control positions expect it) and "*" in password boxes.
void installProgramLook();
