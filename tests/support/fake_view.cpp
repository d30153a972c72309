#include "fake_view.h"

FakeView::FakeView()
{
    for (TextBox box : {TextBox::Text_IMPULSLÄNGE, TextBox::Text_ANZAHL_IMPULSE, TextBox::Text_FREQUENZ,
                        TextBox::txtFMax, TextBox::txtFMin})
        texts[box] = QString();
    texts[TextBox::Text_SETTINGS] = QStringLiteral("9600,n,8,1");
    texts[TextBox::txtIMax] = QStringLiteral("1000");
    texts[TextBox::txtIMin] = QStringLiteral("10");
    checks = {{CheckBox::Check_DTR, 1}, {CheckBox::Check_RTS, 1}, {CheckBox::Check_BEEP, 0}};
    backColors = {{ColouredControl::Frame_OPEN, colours::buttonFace}, {ColouredControl::lblMM, colours::darkRed}};
    comPorts[0].selected = true;
    signalLines[0].selected = true;
}

void FakeView::select(OptionArray array, int index)
{
    const int count = array == OptionArray::Option_COMPORT ? kComPortCount : kSignalCount;
    for (int i = 0; i < count; ++i)
        options(array)[i].selected = i == index;
}
