#pragma once

#include "main_window_view.h"

#include <QString>

#include <array>
#include <map>

// The window as plain values, with the design's start-up state.
class FakeView : public MainWindowView {
public:
    FakeView()
    {
        texts = {{TextBox::Text_SETTINGS, QStringLiteral("9600,n,8,1")}, {TextBox::txtIMax, QStringLiteral("1000")},
                 {TextBox::txtIMin, QStringLiteral("10")}, {TextBox::Text_IMPULSLÄNGE, {}}, {TextBox::Text_ANZAHL_IMPULSE, {}},
                 {TextBox::Text_FREQUENZ, {}}, {TextBox::txtFMax, {}}, {TextBox::txtFMin, {}}};
        comPorts[0].selected = signalLines[0].selected = true;
    }

    QString text(TextBox box) const override { return texts.at(box); }
    void setText(TextBox box, const QString& text) override { texts[box] = text; }
    bool optionValue(OptionArray array, int index) const override { return options(array)[index].selected; }
    int checkValue(CheckBox box) const override { return checks.at(box); }
    void setBackColor(ColouredControl control, Colour colour) override { backColors[control] = colour; }
    void setOptionEnabled(OptionArray array, int i, bool enabled) override { options(array)[i].enabled = enabled; }
    void setOptionCaption(OptionArray array, int i, const QString& caption) override { options(array)[i].caption = caption; }
    void setOptionWidth(OptionArray array, int i, int twips) override { options(array)[i].width = twips; }
    void setOptionToolTip(OptionArray array, int i, const QString& tip) override { options(array)[i].toolTip = tip; }
    void setCaption(const QString& text) override { caption = text; }

    // Selects one option of an array and deselects the others, as a group does.
    void select(OptionArray array, int index)
    {
        const int count = array == OptionArray::Option_COMPORT ? kComPortCount : kSignalCount;
        for (int i = 0; i < count; ++i)
            options(array)[i].selected = i == index;
    }
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
    std::map<CheckBox, int> checks{{CheckBox::Check_DTR, 1}, {CheckBox::Check_RTS, 1}, {CheckBox::Check_BEEP, 0}};
    std::map<ColouredControl, Colour> backColors{{ColouredControl::Frame_OPEN, colours::buttonFace},
                                                 {ColouredControl::lblMM, colours::darkRed}};
    QString caption = QStringLiteral("Form1");

private:
    Option* options(OptionArray array) { return array == OptionArray::Option_COMPORT ? comPorts.data() : signalLines.data(); }
    const Option* options(OptionArray array) const { return const_cast<FakeView*>(this)->options(array); }
};
