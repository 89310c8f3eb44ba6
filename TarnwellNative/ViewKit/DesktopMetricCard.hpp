// A tile with a kicker title, a large value and an optional detail line. It
// fills the width it is offered and is at least 168 px high. The value wraps
// onto at most three lines and is drawn smaller, down to 84 %, before it is
// elided.
#pragma once

#include "ViewKit/DesktopSurface.hpp"

#include <QWidget>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QTextLayout;

namespace tarnwell {

class DesktopKicker;

// Text that wraps onto at most `maxLines` lines (none: as many as it needs),
// shrinking down to `minimumScale` of its font before it elides the last
// line. Its width comes from its layout: a new text asks for a new layout
// only when it needs another height at the width it has, so a counter that
// changes every frame is only drawn again. The lines are broken once per
// text and width.
class DesktopFittedText : public QWidget {
public:
    static constexpr int kUnlimitedLines = 0;

    DesktopFittedText(const QFont& font, int maxLines, qreal minimumScale, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);

    // What drawing at `width` looks like: the scale chosen and the lines.
    struct Fit {
        qreal scale = 1.0;
        QStringList lines;
        bool elided = false;
        // The lines shaped and placed, unless the last one is elided.
        std::shared_ptr<QTextLayout> layout;
    };
    Fit fitFor(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    Fit computeFit(int width) const;

    QString text_;
    int maxLines_;
    qreal minimumScale_;
    // The fits of the last widths asked for, newest first.
    mutable std::vector<std::pair<int, Fit>> fits_;
};

class DesktopMetricCard : public DesktopInnerBox {
    Q_OBJECT
public:
    static constexpr int kPadding = 18;
    static constexpr int kMinimumContentHeight = 132;

    DesktopMetricCard(const QString& title, const QString& value, const std::optional<QString>& detail,
                      QWidget* parent = nullptr);

    QString title() const;
    QString value() const;
    std::optional<QString> detail() const { return detail_; }
    // Whether a detail line is shown (a present, non-empty detail).
    bool showsDetail() const;

    void setTitle(const QString& title);
    void setValue(const QString& value);
    void setDetail(const std::optional<QString>& detail);

private:
    DesktopKicker* title_;
    DesktopFittedText* value_;
    DesktopFittedText* detailLabel_;
    std::optional<QString> detail_;
};

}  // namespace tarnwell
