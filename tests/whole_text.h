#pragma once

#include "window_services/status_panel.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

// Whether a fixed-size control shows all of its text in its own font: a label
// within its contents, a button within the part its style draws the caption in.
inline bool showsWholeText(const QWidget *control)
{
    const QFontMetrics metrics(control->font());
    if (const auto *label = qobject_cast<const QLabel *>(control)) {
        const QRect room = label->contentsRect();
        if (label->wordWrap())
            return metrics
                       .boundingRect(room, Qt::TextWordWrap | int(label->alignment()),
                                     label->text())
                       .height() <= room.height();
        return metrics.horizontalAdvance(label->text()) <= room.width();
    }
    if (const auto *button = qobject_cast<const QPushButton *>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect room =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        return metrics.horizontalAdvance(button->text()) <= room.width();
    }
    return false;
}

// A status panel prints one line from its left edge and cuts it at its right
// one: its text is whole when the ink ends within the panel (the advance of the
// last glyph may pass the edge; its empty side bearing is not lost).
inline bool showsWholeText(const StatusPanel *panel)
{
    const QFontMetricsF metrics(panel->font());
    return metrics.tightBoundingRect(panel->text()).right() <= panel->contentsRect().width();
}
