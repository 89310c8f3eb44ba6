// A tile with a kicker title, a large value and an optional detail line. It
// fills the width it is offered and is at least 168 px high. The value wraps
// onto at most three lines and is drawn smaller, down to 84 %, before it is
// elided.
#pragma once

#include "ViewKit/DesktopSurface.hpp"

#include <QWidget>
#include <optional>

class QLabel;

namespace tarnwell {

class DesktopKicker;
class DesktopSelectableText;

// Text that wraps onto at most `maxLines` lines, shrinking down to
// `minimumScale` of its font before it elides the last line.
class DesktopFittedText : public QWidget {
public:
    DesktopFittedText(const QFont& font, int maxLines, qreal minimumScale, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);

    // What drawing at `width` looks like: the scale chosen and the lines.
    struct Fit {
        qreal scale = 1.0;
        QStringList lines;
        bool elided = false;
    };
    Fit fitFor(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int maxLines_;
    qreal minimumScale_;
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
    DesktopSelectableText* detailLabel_;
    std::optional<QString> detail_;
};

}  // namespace tarnwell
