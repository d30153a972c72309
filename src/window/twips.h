#pragma once

#include <QRect>

// The design measures in twips; the window draws in device-independent
// pixels, 15 twips each. Qt scales those pixels on high-DPI screens itself.
namespace window {

inline constexpr int kTwipsPerPixel = 15;

struct TwipsRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// Nearest whole pixel; design positions are never negative, and a twips
// value never falls on a half pixel.
constexpr int twipsToPixels(int twips)
{
    return (2 * twips + kTwipsPerPixel) / (2 * kTwipsPerPixel);
}

// Each edge is rounded on its own, so neighbours that touch in twips touch
// in pixels too.
constexpr QRect pixelRect(const TwipsRect& r)
{
    const int left = twipsToPixels(r.left);
    const int top = twipsToPixels(r.top);
    return {QPoint(left, top), QPoint(twipsToPixels(r.left + r.width) - 1, twipsToPixels(r.top + r.height) - 1)};
}

}  // namespace window
