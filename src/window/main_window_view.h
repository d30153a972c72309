#pragma once

#include <QString>

#include <cstdint>

// How the handlers touch the window: controls by name (and index for the
// option arrays), and only the operations the handlers need. The real window
// implements it over its widgets; tests implement it over plain values.

enum class TextBox {
    Text_SETTINGS,
    Text_IMPULSLÄNGE,
    Text_ANZAHL_IMPULSE,
    Text_FREQUENZ,
    txtFMax,
    txtFMin,
    txtIMax,
    txtIMin,
};

enum class CheckBox {
    Check_DTR,
    Check_RTS,
    Check_BEEP,
};

// Option button arrays; an index addresses one button of the array.
enum class OptionArray {
    Option_COMPORT,  // 0..15, COM 1..COM 16
    optSignal,       // 0..3, DCD, DSR, CTS, RI
};

// Controls whose background colour the handlers set.
enum class ColouredControl {
    Frame_OPEN,
    lblMM,
};

// A colour as the window design gives it: 0x00BBGGRR, or with the top bit set
// a system colour.
using Colour = std::uint32_t;

namespace colours {
inline constexpr Colour red = 0x0000FF;
inline constexpr Colour lightGreen = 0x00FF00;
inline constexpr Colour darkRed = 0x0000C0;
inline constexpr Colour buttonFace = 0x8000000F;
}  // namespace colours

inline constexpr int kComPortCount = 16;
inline constexpr int kSignalCount = 4;

class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    virtual QString text(TextBox box) const = 0;
    virtual void setText(TextBox box, const QString& text) = 0;

    // Whether option button `index` of the array is selected.
    virtual bool optionValue(OptionArray array, int index) const = 0;
    // 0 unchecked, 1 checked.
    virtual int checkValue(CheckBox box) const = 0;

    virtual void setBackColor(ColouredControl control, Colour colour) = 0;

    virtual void setOptionEnabled(OptionArray array, int index, bool enabled) = 0;
    virtual void setOptionCaption(OptionArray array, int index, const QString& caption) = 0;
    virtual void setOptionWidth(OptionArray array, int index, int twips) = 0;
    // Shown on hover only; the port handling explains there why a port is unusable.
    virtual void setOptionToolTip(OptionArray array, int index, const QString& tip) = 0;

    virtual void setCaption(const QString& caption) = 0;
};

// The failure message of an open; the window shows a modal box with an OK
// button, tests answer it themselves.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void MsgBox(const QString& text) = 0;
};
