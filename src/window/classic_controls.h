#pragma once

#include <QCheckBox>
#include <QGroupBox>

// Controls drawn as the design's window showed them, whatever the desktop's
// style: the design places every child in twips from the outer corner, so a
// style's own margins must not move the border onto the first row.
namespace window {

// A frame whose etched border runs through the middle of its title, so it
// lies above the first row of options; without a title it runs along the top.
class ClassicFrame : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A check box whose caption wraps onto further lines of its box in the
// window's own font; the whole box takes the click.
class WrappingCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

}  // namespace window
