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

// The width of the widest run of `text` that a wrapping label can't break
// (a word, or the part of a hyphenated word up to its hyphen), as drawn in
// `font`: its advance or its ink, whichever reaches further right.
int widestUnbreakableWidth(const QString& text, const QFont& font);
// Keeps a wrapping label of fixed text at least as wide as its widest word,
// so that no layout cuts a word of it.
void keepWordsWhole(QLabel* label);

// A card's header row: `heading` (a column whose first line of text sits
// `headingBaseline` below its top) on the left and `trailing` (if any)
// against the right edge, at least `gap` apart, lined up on their first text
// baselines, so that whichever of the two reaches higher sets the row's top.
QHBoxLayout* firstBaselineRow(QBoxLayout* heading, int headingBaseline, QWidget* trailing, int trailingBaseline,
                              int gap);

}  // namespace tarnwell
