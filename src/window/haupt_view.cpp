#include "haupt_view.h"

#include "window_colour.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <utility>

namespace window {
namespace {

// Shows a background colour on a frame or label: only a widget that fills
// its background draws the palette's window role.
void paintBackground(QWidget* widget, Colour colour)
{
    QPalette palette = widget->palette();
    palette.setColor(widget->backgroundRole(), toQColor(colour, palette));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

}  // namespace

HauptView::HauptView(HauptControls controls) : c_(std::move(controls)) {}

QString HauptView::text(TextBox box) const
{
    return c_.textBoxes.at(box)->text();
}

void HauptView::setText(TextBox box, const QString& text)
{
    c_.textBoxes.at(box)->setText(text);
}

bool HauptView::optionValue(OptionArray array, int index) const
{
    const PlacedOption* o = option(array, index);
    return o && o->button->isChecked();
}

int HauptView::checkValue(CheckBox box) const
{
    return c_.checkBoxes.at(box)->isChecked() ? 1 : 0;
}

void HauptView::setBackColor(ColouredControl control, Colour colour)
{
    switch (control) {
    case ColouredControl::Frame_OPEN:
        paintBackground(c_.frameOpen, colour);
        break;
    case ColouredControl::lblMM:
        paintBackground(c_.lblMM, colour);
        // A screen reader cannot see the colour; it hears the state instead.
        c_.lblMM->setAccessibleDescription(colour == colours::lightGreen ? QStringLiteral("Max Min activ")
                                                                         : QStringLiteral("Max Min nicht activ"));
        break;
    }
}

void HauptView::setOptionEnabled(OptionArray array, int index, bool enabled)
{
    if (PlacedOption* o = option(array, index))
        o->button->setEnabled(enabled);
}

void HauptView::setOptionCaption(OptionArray array, int index, const QString& caption)
{
    if (PlacedOption* o = option(array, index))
        o->button->setText(caption);
}

void HauptView::setOptionWidth(OptionArray array, int index, int twips)
{
    PlacedOption* o = option(array, index);
    if (!o || twips < 0)
        return;
    o->design.width = twips;
    o->button->setGeometry(pixelRect(o->design));
}

void HauptView::setOptionToolTip(OptionArray array, int index, const QString& tip)
{
    if (PlacedOption* o = option(array, index))
        o->button->setToolTip(tip);
}

void HauptView::setCaption(const QString& caption)
{
    c_.window->setWindowTitle(caption);
}

PlacedOption* HauptView::option(OptionArray array, int index)
{
    return const_cast<PlacedOption*>(std::as_const(*this).option(array, index));
}

const PlacedOption* HauptView::option(OptionArray array, int index) const
{
    if (array == OptionArray::Option_COMPORT)
        return index >= 0 && index < kComPortCount ? &c_.comPorts[static_cast<std::size_t>(index)] : nullptr;
    return index >= 0 && index < kSignalCount ? &c_.signalLines[static_cast<std::size_t>(index)] : nullptr;
}

}  // namespace window
