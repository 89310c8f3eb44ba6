#include "Screens/DesktopScreenParts.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopSelectableText.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopSymbols.hpp"

namespace tarnwell {

namespace screen_parts {

QLabel* label(const QString& text, const QFont& font, const QColor& colour) {
    auto* result = new QLabel(text);
    styleLabel(result, font, colour, true);
    return result;
}

QLabel* headline(const QString& text, int pixelSize, qreal tracking) {
    QFont font = DesktopFonts::system(pixelSize, QFont::Black);
    font.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    QLabel* result = label(text, font, DesktopPalette::text());
    keepWordsWhole(result);
    return result;
}

QWidget* holder(QLayout* layout) {
    auto* widget = new QWidget;
    layout->setContentsMargins(0, 0, 0, 0);
    widget->setLayout(layout);
    return widget;
}

void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        } else if (QLayout* inner = item->layout()) {
            clear(inner);
        }
        delete item;
    }
}

QVBoxLayout* signedOutPanel(QVBoxLayout* screen, const QString& kicker, const QString& title,
                            const QString& sentence) {
    auto* surface = new DesktopSurface(DesktopSurfaceTone::strong);
    auto* column = new QVBoxLayout;
    column->setSpacing(14);
    column->addWidget(new DesktopKicker(kicker));
    column->addWidget(headline(title, 30, -0.8));
    column->addWidget(label(sentence, DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted()));
    surface->setContent(holder(column));
    screen->addWidget(surface);
    return column;
}

} // namespace screen_parts

namespace {

QWidget* folderRow(const QString& text, int maxLines, bool selectable) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 12, 0, 12);
    row->setSpacing(8);
    const QFont font = DesktopFonts::bodyMonospaced();
    auto* icon = new QLabel;
    icon->setPixmap(DesktopSymbols::tinted(QStringLiteral("folder"), 14, DesktopPalette::text()));
    icon->setFixedSize(16, QFontMetrics(font).height());
    icon->setAlignment(Qt::AlignCenter);
    row->addWidget(icon, 0, Qt::AlignTop);
    if (selectable) {
        auto* path = new DesktopSelectableText(text, font, DesktopPalette::text());
        path->setMaximumLineCount(maxLines);
        row->addWidget(path, 1);
    } else {
        auto* fitted = new DesktopFittedText(font, maxLines, 1.0);
        QPalette colours = fitted->palette();
        colours.setColor(QPalette::WindowText, DesktopPalette::text());
        fitted->setPalette(colours);
        fitted->setText(text);
        row->addWidget(fitted, 1);
    }
    QWidget* widget = screen_parts::holder(row);
    row->setContentsMargins(0, 12, 0, 12);
    widget->setObjectName(QStringLiteral("folderRow"));
    return widget;
}

} // namespace

DesktopFolderBox::DesktopFolderBox(DesktopAppModel& model, int maxRows, int maxLines, bool selectable,
                                   QWidget* parent)
    : DesktopInnerBox(parent), model_(&model), maxRows_(maxRows), maxLines_(maxLines), selectable_(selectable),
      rows_(new QVBoxLayout(this)) {
    setObjectName(QStringLiteral("folderBox"));
    rows_->setContentsMargins(16, 16, 16, 16);
    rows_->setSpacing(0);
}

void DesktopFolderBox::setFolders(const QStringList& folders) {
    const QStringList wanted = maxRows_ < 0 ? folders : folders.mid(0, maxRows_);
    if (built_ && wanted == shown_) return;
    built_ = true;
    shown_ = wanted;
    screen_parts::clear(rows_);
    rules_ = 0;
    for (int i = 0; i < shown_.size(); ++i) {
        const QString text = model_ ? model_->folderLabel(shown_[i]) : shown_[i];
        rows_->addWidget(folderRow(text, maxLines_, selectable_));
        if (i < shown_.size() - 1) {
            rows_->addWidget(new DesktopRule);
            ++rules_;
        }
    }
}


} // namespace tarnwell
