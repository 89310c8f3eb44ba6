#include "ViewKit/DesktopCallout.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusKind.hpp"
#include "ViewKit/DesktopSymbols.hpp"

namespace tarnwell {

DesktopCallout::DesktopCallout(const QString& text, StatusPillKind kind, QWidget* parent)
    : QWidget(parent), kind_(kind), icon_(new QLabel(this)), text_(new QLabel(text, this)) {
    styleLabel(text_, DesktopFonts::system(14, QFont::Medium), DesktopPalette::muted());
    text_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    icon_->setFixedSize(kIconSize, kIconSize + 2);
    icon_->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(12);
    layout->addWidget(icon_, 0, Qt::AlignTop);
    layout->addWidget(text_, 1, Qt::AlignTop);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    updateIcon();
}

QString DesktopCallout::text() const { return text_->text(); }

void DesktopCallout::setText(const QString& text) {
    text_->setText(text);
}

void DesktopCallout::setKind(StatusPillKind kind) {
    if (kind == kind_) {
        return;
    }
    kind_ = kind;
    updateIcon();
    update();
}

QString DesktopCallout::iconName() const { return calloutColors(kind_).iconName; }

void DesktopCallout::updateIcon() {
    const CalloutColors colors = calloutColors(kind_);
    icon_->setPixmap(DesktopSymbols::tinted(colors.iconName, kIconSize, colors.icon, devicePixelRatioF()));
}

void DesktopCallout::paintEvent(QPaintEvent*) {
    const CalloutColors colors = calloutColors(kind_);
    QPainter painter(this);
    DesktopShapes::fillSquare(painter, rect(), colors.background);
    DesktopShapes::strokeInside(painter, rect(), 8, colors.stroke);
}

}  // namespace tarnwell
