#pragma once

#include "main_window_view.h"

#include <map>
#include <set>

// The window as plain values, with the design's start-up state. Colours
// start unset (0), so a handler that never writes one shows.
class FakeView : public MainWindowView {
public:
    QString text(TextBox box) const override { return texts.contains(box) ? texts.at(box) : QString(); }
    void setText(TextBox box, const QString& text) override { texts[box] = text; }
    bool optionValue(OptionArray array, int index) const override { return selected.contains({array, index}); }
    int checkValue(CheckBox box) const override { return checks.at(box); }
    void setBackColor(ColouredControl control, Colour colour) override { backColors[control] = colour; }
    void setOptionEnabled(OptionArray, int i, bool enabled) override { comEnabled[i] = enabled; }
    void setOptionCaption(OptionArray, int, const QString&) override {}
    void setOptionWidth(OptionArray, int, int) override {}
    void setOptionToolTip(OptionArray, int i, const QString& tip) override { comToolTips[i] = tip; }
    void setCaption(const QString& text) override { caption = text; }

    std::map<TextBox, QString> texts{{TextBox::Text_SETTINGS, QStringLiteral("9600,n,8,1")},
                                     {TextBox::txtIMax, QStringLiteral("1000")}, {TextBox::txtIMin, QStringLiteral("10")}};
    std::set<std::pair<OptionArray, int>> selected{{OptionArray::Option_COMPORT, 0}, {OptionArray::optSignal, 0}};
    std::map<CheckBox, int> checks{{CheckBox::Check_DTR, 1}, {CheckBox::Check_RTS, 1}, {CheckBox::Check_BEEP, 0}};
    std::map<ColouredControl, Colour> backColors;
    std::map<int, bool> comEnabled;
    std::map<int, QString> comToolTips;
    QString caption;
};
