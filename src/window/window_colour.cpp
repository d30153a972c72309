#include "window_colour.h"

namespace window {

QColor toQColor(Colour colour, const QPalette& palette)
{
    constexpr Colour systemColourBit = 0x80000000;
    if (colour & systemColourBit)
        return palette.color(QPalette::Active, QPalette::Button);
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

}  // namespace window
