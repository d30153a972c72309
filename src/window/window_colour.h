#pragma once

#include "main_window_view.h"

#include <QColor>
#include <QPalette>

namespace window {

// The design's 0x00BBGGRR values as Qt colours; a system colour (top bit set)
// is taken from the palette, the button face being the only one in use.
QColor toQColor(Colour colour, const QPalette& palette);

}  // namespace window
