#pragma once

#include "main_window_view.h"

#include <QString>

#include <array>
#include <map>

// The window as plain values, with the design's start-up state.
class FakeView : public MainWindowView {
public:
    FakeView();

    QString text(TextBox box) const override { return texts.at(box); }
    void setText(TextBox box, const QString& text) override { texts[box] = text; }
    bool optionValue(OptionArray array, int index) const override { return options(array)[index].selected; }
    int checkValue(CheckBox box) const override { return checks.at(box); }
    void setBackColor(ColouredControl control, Colour colour) override { backColors[control] = colour; }
    void setOptionEnabled(OptionArray array, int index, bool enabled) override
    {
        options(array)[index].enabled = enabled;
    }
    void setOptionCaption(OptionArray array, int index, const QString& caption) override
    {
        options(array)[index].caption = caption;
    }
    void setOptionWidth(OptionArray array, int index, int twips) override { options(array)[index].width = twips; }
    void setOptionToolTip(OptionArray array, int index, const QString& tip) override
    {
        options(array)[index].toolTip = tip;
    }
    void setCaption(const QString& text) override { caption = text; }

    // Selects one option of an array and deselects the others, as a group does.
    void select(OptionArray array, int index);
    void setCheck(CheckBox box, bool checked) { checks[box] = checked ? 1 : 0; }

    struct Option {
        bool selected = false;
        bool enabled = true;
        QString caption;
        int width = 0;
        QString toolTip;
    };
    std::array<Option, kComPortCount> comPorts{};
    std::array<Option, kSignalCount> signalLines{};
    std::map<TextBox, QString> texts;
    std::map<CheckBox, int> checks;
    std::map<ColouredControl, Colour> backColors;
    QString caption = QStringLiteral("Form1");

private:
    Option* options(OptionArray array) { return array == OptionArray::Option_COMPORT ? comPorts.data() : signalLines.data(); }
    const Option* options(OptionArray array) const
    {
        return array == OptionArray::Option_COMPORT ? comPorts.data() : signalLines.data();
    }
};
