// A short status text beside a coloured dot, in a chip coloured by its kind:
// 34 px high, as wide as dot + 8 + text + 24; a text too long for the width
// it gets stays on one line and is elided. A chip told to wrap its text
// instead grows taller, breaking between words, and never gets narrower
// than its longest word.
#pragma once

#include <QWidget>

#include "Model/StatusPillPresentation.hpp"

namespace tarnwell {

class DesktopStatusChip : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 34;
    static constexpr int kDotSize = 7;
    static constexpr int kGap = 8;
    static constexpr int kHorizontalPadding = 12;

    DesktopStatusChip(const QString& text, StatusPillKind kind, QWidget* parent = nullptr);

    QString text() const { return text_; }
    StatusPillKind kind() const { return kind_; }
    void setText(const QString& text);
    void setKind(StatusPillKind kind);
    void setPresentation(const StatusPillPresentation& presentation);

    bool wrapsText() const { return wraps_; }
    void setWrapsText(bool wraps);

    // How far below its top the chip's text sits.
    int firstBaseline() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return wraps_; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    StatusPillKind kind_;
    bool wraps_ = false;
};

}  // namespace tarnwell
