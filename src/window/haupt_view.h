#pragma once

#include "main_window_view.h"
#include "twips.h"

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <array>
#include <map>

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QWidget;

namespace window {

// An option button with the place the design gives it, so a new width keeps
// its left edge in twips.
struct PlacedOption {
    QRadioButton* button = nullptr;
    TwipsRect design;
};

// The widgets the handlers reach, as the window built them.
struct HauptControls {
    QWidget* window = nullptr;
    std::map<TextBox, QLineEdit*> textBoxes;
    std::map<CheckBox, QCheckBox*> checkBoxes;
    std::array<PlacedOption, kComPortCount> comPorts{};
    std::array<PlacedOption, kSignalCount> signalLines{};
    QWidget* frameOpen = nullptr;
    QLabel* lblMM = nullptr;
};

// MainWindowView over the real widgets. Texts and colours reach the widgets
// at most once per display frame: at thousands of edges a second the handlers
// write far faster than anyone can read, and every write would cost a paint.
// A read returns what was last written; the last write of a burst shows
// within a frame.
class HauptView : public MainWindowView {
public:
    explicit HauptView(HauptControls controls);

    QString text(TextBox box) const override;
    void setText(TextBox box, const QString& text) override;
    bool optionValue(OptionArray array, int index) const override;
    int checkValue(CheckBox box) const override;
    void setBackColor(ColouredControl control, Colour colour) override;
    void setOptionEnabled(OptionArray array, int index, bool enabled) override;
    void setOptionCaption(OptionArray array, int index, const QString& caption) override;
    void setOptionWidth(OptionArray array, int index, int twips) override;
    void setOptionToolTip(OptionArray array, int index, const QString& tip) override;
    void setCaption(const QString& caption) override;

private:
    // nullptr for an index outside the array: the handlers never pass one,
    // and a stray one must not take the window down.
    PlacedOption* option(OptionArray array, int index);
    const PlacedOption* option(OptionArray array, int index) const;

    void handOnSoon();
    void handOn();
    void showColour(ColouredControl control, Colour colour);

    HauptControls c_;
    std::map<TextBox, QString> pendingTexts_;
    std::map<ColouredControl, Colour> pendingColours_;
    QTimer frame_;
    QElapsedTimer sinceHandedOn_;
};

}  // namespace window
