// The colours that each status kind gives a chip and a callout.
#pragma once

#include <QColor>
#include <QString>

#include "Model/StatusPillPresentation.hpp"

namespace tarnwell {

// The one palette colour a kind stands for.
QColor statusKindColor(StatusPillKind kind);

struct StatusChipColors {
    QColor dot;
    QColor foreground;
    QColor background;
    QColor stroke;
};
StatusChipColors statusChipColors(StatusPillKind kind);

struct CalloutColors {
    QString iconName;  // a symbol name
    QColor icon;
    QColor background;
    QColor stroke;
};
CalloutColors calloutColors(StatusPillKind kind);

}  // namespace tarnwell
