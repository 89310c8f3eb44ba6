// The small label above a section: 11 px medium monospaced, letters spaced
// out by 2.2 px, shown in capitals (the text itself keeps its case), muted.
#pragma once

#include <QLabel>

class QBoxLayout;
class QHBoxLayout;

namespace tarnwell {

class DesktopKicker : public QLabel {
    Q_OBJECT
public:
    explicit DesktopKicker(const QString& text, QWidget* parent = nullptr);

    // How far below its top the kicker's first line of text sits.
    int firstBaseline() const;
};

// Makes `label` show its text verbatim in `font` and `colour`, wrapping.
void styleLabel(QLabel* label, const QFont& font, const QColor& colour, bool wrap = true);

// A card's header row: `heading` (a column whose first line of text sits
// `headingBaseline` below its top) on the left and `trailing` (if any)
// against the right edge, at least `gap` apart, lined up on their first text
// baselines, so that whichever of the two reaches higher sets the row's top.
QHBoxLayout* firstBaselineRow(QBoxLayout* heading, int headingBaseline, QWidget* trailing, int trailingBaseline,
                              int gap);

}  // namespace tarnwell
