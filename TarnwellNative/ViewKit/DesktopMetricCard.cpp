#include "ViewKit/DesktopMetricCard.hpp"

#include <QEvent>
#include <QPainter>
#include <QTextLayout>
#include <QVBoxLayout>
#include <cmath>
#include <memory>
#include <tuple>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopShapes.hpp"

namespace tarnwell {

namespace {
// The lines `text` breaks into at `width` in `font`, and the text shaped
// and laid out that way, one font height per line, ready to draw.
std::pair<QStringList, std::shared_ptr<QTextLayout>> wrap(const QString& text, const QFont& font, qreal width) {
    QStringList lines;
    auto layout = std::make_shared<QTextLayout>(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    const qreal lineHeight = QFontMetricsF(font).height();
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, lines.size() * lineHeight));
        lines.append(text.mid(line.textStart(), line.textLength()));
    }
    layout->endLayout();
    if (lines.isEmpty()) {
        lines.append(QString());
    }
    return {lines, layout};
}
}  // namespace

DesktopFittedText::DesktopFittedText(const QFont& font, int maxLines, qreal minimumScale, QWidget* parent)
    : QWidget(parent), maxLines_(maxLines), minimumScale_(minimumScale) {
    setFont(font);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void DesktopFittedText::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    const bool placed = isVisible() && width() > 0;
    const int before = placed ? heightForWidth(width()) : -1;
    text_ = text;
    fits_.clear();
    if (!placed || heightForWidth(width()) != before) {
        updateGeometry();
    }
    update();
}

void DesktopFittedText::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        fits_.clear();
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

DesktopFittedText::Fit DesktopFittedText::fitFor(int width) const {
    for (const auto& [known, fit] : fits_) {
        if (known == width) {
            return fit;
        }
    }
    Fit fit = computeFit(width);
    constexpr std::size_t kKeptWidths = 3;
    fits_.insert(fits_.begin(), {width, fit});
    if (fits_.size() > kKeptWidths) {
        fits_.pop_back();
    }
    return fit;
}

DesktopFittedText::Fit DesktopFittedText::computeFit(int width) const {
    const qreal available = std::max(1, width);
    Fit fit;
    if (maxLines_ <= kUnlimitedLines) {
        std::tie(fit.lines, fit.layout) = wrap(text_, font(), available);
        return fit;
    }
    constexpr int kSteps = 4;
    for (int step = 0; step <= kSteps; ++step) {
        fit.scale = 1.0 - (1.0 - minimumScale_) * step / kSteps;
        std::tie(fit.lines, fit.layout) = wrap(text_, font(), available / fit.scale);
        if (fit.lines.size() <= maxLines_) {
            return fit;
        }
    }
    // Still too long at the smallest scale: keep the first lines and elide
    // the last one.
    QString rest;
    for (int i = maxLines_ - 1; i < fit.lines.size(); ++i) {
        rest += fit.lines[i];
    }
    fit.lines = fit.lines.mid(0, maxLines_ - 1);
    fit.lines.append(QFontMetricsF(font()).elidedText(rest.trimmed(), Qt::ElideRight, available / fit.scale));
    fit.elided = true;
    fit.layout.reset();
    return fit;
}

int DesktopFittedText::heightForWidth(int width) const {
    const Fit fit = fitFor(width);
    return static_cast<int>(std::ceil(QFontMetricsF(font()).height() * fit.lines.size() * fit.scale));
}

QSize DesktopFittedText::sizeHint() const {
    // Ask for room for a short value on one line; a long one wraps.
    constexpr int kPreferredWidth = 160;
    const int natural = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text_)));
    const int width = std::min(natural, kPreferredWidth);
    return {width, heightForWidth(width)};
}

QSize DesktopFittedText::minimumSizeHint() const {
    return {0, static_cast<int>(std::ceil(QFontMetricsF(font()).height() * minimumScale_))};
}

void DesktopFittedText::paintEvent(QPaintEvent*) {
    const Fit fit = fitFor(width());
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    painter.scale(fit.scale, fit.scale);
    if (fit.layout) {
        fit.layout->draw(&painter, QPointF(0, 0));
        return;
    }
    const QFontMetricsF metrics(font());
    qreal y = metrics.ascent();
    for (const QString& line : fit.lines) {
        painter.drawText(QPointF(0, y), line);
        y += metrics.height();
    }
}

DesktopMetricCard::DesktopMetricCard(const QString& title, const QString& value,
                                     const std::optional<QString>& detail, QWidget* parent)
    : DesktopInnerBox(parent),
      title_(new DesktopKicker(title, this)),
      detailLabel_(new DesktopFittedText(DesktopFonts::system(14, QFont::Normal), DesktopFittedText::kUnlimitedLines,
                                         1.0, this)) {
    QFont valueFont = DesktopFonts::system(28, QFont::Black);
    valueFont.setLetterSpacing(QFont::AbsoluteSpacing, -1.2);
    value_ = new DesktopFittedText(valueFont, 3, 0.84, this);
    QPalette colours = value_->palette();
    colours.setColor(QPalette::WindowText, DesktopPalette::text());
    value_->setPalette(colours);
    value_->setText(value);
    colours = detailLabel_->palette();
    colours.setColor(QPalette::WindowText, DesktopPalette::muted());
    detailLabel_->setPalette(colours);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(10);
    layout->addWidget(title_);
    layout->addWidget(value_);
    layout->addWidget(detailLabel_);
    layout->addStretch(1);
    setMinimumHeight(kMinimumContentHeight + 2 * kPadding);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    setDetail(detail);
}

QString DesktopMetricCard::title() const { return title_->text(); }
QString DesktopMetricCard::value() const { return value_->text(); }

bool DesktopMetricCard::showsDetail() const { return detail_.has_value() && !detail_->isEmpty(); }

void DesktopMetricCard::setTitle(const QString& title) { title_->setText(title); }
void DesktopMetricCard::setValue(const QString& value) { value_->setText(value); }

void DesktopMetricCard::setDetail(const std::optional<QString>& detail) {
    detail_ = detail;
    detailLabel_->setText(detail.value_or(QString()));
    detailLabel_->setVisible(showsDetail());
}

}  // namespace tarnwell
