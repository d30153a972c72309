#include "haupt_view.h"

#include "window_colour.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <algorithm>
#include <chrono>
#include <utility>

namespace window {
namespace {

constexpr std::chrono::milliseconds kDisplayFrame{16};

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

HauptView::HauptView(HauptControls controls) : c_(std::move(controls))
{
    // A child of the window, so tests can see whether a hand-over is due.
    frame_.setParent(c_.window);
    frame_.setObjectName(QStringLiteral("readoutFrame"));
    frame_.setSingleShot(true);
    frame_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&frame_, &QTimer::timeout, [this] { handOn(); });
    // A text box fills its own background, the window's colour its rounded
    // corners show: a new text then repaints the box alone, not the frame
    // and window beneath it as well, which cost more than the box itself.
    for (auto& [box, edit] : c_.textBoxes) {
        edit->setBackgroundRole(QPalette::Window);
        edit->setAutoFillBackground(true);
    }
}

QString HauptView::text(TextBox box) const
{
    const auto pending = pendingTexts_.find(box);
    return pending != pendingTexts_.end() ? pending->second : c_.textBoxes.at(box)->text();
}

void HauptView::setText(TextBox box, const QString& text)
{
    c_.textBoxes.at(box);  // an unknown box fails here, as it would on the widget
    pendingTexts_[box] = text;
    handOnSoon();
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
    pendingColours_[control] = colour;
    handOnSoon();
}

// With the event loop's next turn, or once a frame has passed since the last
// hand-over.
void HauptView::handOnSoon()
{
    if (frame_.isActive())
        return;
    const std::chrono::milliseconds since(sinceHandedOn_.isValid() ? sinceHandedOn_.elapsed() : kDisplayFrame.count());
    frame_.start(std::max(kDisplayFrame - since, std::chrono::milliseconds(0)));
}

// Only a text that differs is handed on: setting the same one would still
// move the cursor and paint.
void HauptView::handOn()
{
    sinceHandedOn_.start();
    for (auto& [box, text] : std::exchange(pendingTexts_, {})) {
        QLineEdit* edit = c_.textBoxes.at(box);
        if (edit->text() != text)
            edit->setText(text);
    }
    for (const auto& [control, colour] : std::exchange(pendingColours_, {}))
        showColour(control, colour);
}

void HauptView::showColour(ColouredControl control, Colour colour)
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
