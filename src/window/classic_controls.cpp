#include "classic_controls.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <qdrawutil.h>

namespace window {

namespace {

// The title starts a little in from the left edge, with a blank either side
// where the border is left out.
constexpr int kTitleIndent = 6;
constexpr int kTitleGap = 2;

}  // namespace

void ClassicFrame::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QFontMetrics metrics = fontMetrics();
    QRect titleRect;
    if (!title().isEmpty()) {
        titleRect = QRect(kTitleIndent, 0, metrics.horizontalAdvance(title()) + 2 * kTitleGap, metrics.height());
        painter.setClipRegion(QRegion(rect()).subtracted(titleRect));
    }
    const QRect border = rect().adjusted(0, titleRect.isNull() ? 0 : metrics.height() / 2, 0, 0);
    qDrawShadeRect(&painter, border, palette(), true, 1, 0);
    painter.setClipping(false);
    style()->drawItemText(&painter, titleRect, Qt::AlignCenter | Qt::TextShowMnemonic, palette(), isEnabled(), title(),
                          QPalette::WindowText);
}

void WrappingCheckBox::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_CheckBox, option);
    const QRect textRect = style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this);
    painter.drawItemText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, palette(), isEnabled(), caption,
                         QPalette::WindowText);
}

bool WrappingCheckBox::hitButton(const QPoint& pos) const
{
    return rect().contains(pos);
}

}  // namespace window
