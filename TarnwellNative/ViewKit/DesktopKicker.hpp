// The small label above a section: 11 px medium monospaced, letters spaced
// out by 2.2 px, shown in capitals (the text itself keeps its case), muted.
#pragma once

#include <QLabel>

namespace tarnwell {

class DesktopKicker : public QLabel {
    Q_OBJECT
public:
    explicit DesktopKicker(const QString& text, QWidget* parent = nullptr);
};

// Makes `label` show its text verbatim in `font` and `colour`, wrapping.
void styleLabel(QLabel* label, const QFont& font, const QColor& colour, bool wrap = true);

}  // namespace tarnwell
