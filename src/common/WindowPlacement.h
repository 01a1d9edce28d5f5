#pragma once

#include <QRect>

class QScreen;

// The main screen, or the first screen when there is no main one; null without any screen.
QScreen* mainScreen();
// A window rectangle of `size` centred on the main screen's full frame (around the origin when
// there is no screen at all).
QRect centredOnMainScreen(QSize size);
