#include "ViewKit/DesktopSectionIntro.hpp"

#include <QLabel>
#include <QVBoxLayout>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell {

DesktopSectionIntro::DesktopSectionIntro(const QString& eyebrow, const QString& title,
                                         const QString& subtitle, QWidget* parent)
    : QWidget(parent),
      eyebrow_(new DesktopKicker(eyebrow, this)),
      title_(new QLabel(title, this)),
      subtitle_(new QLabel(subtitle, this)) {
    QFont titleFont = DesktopFonts::system(46, QFont::Black);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, -1.8);
    styleLabel(title_, titleFont, DesktopPalette::text());
    keepWordsWhole(title_);
    styleLabel(subtitle_, DesktopFonts::system(19, QFont::Normal), DesktopPalette::muted());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    layout->addWidget(eyebrow_);
    layout->addWidget(title_);
    layout->addWidget(subtitle_);
    layout->addStretch(1);
}

QString DesktopSectionIntro::eyebrow() const { return eyebrow_->text(); }
QString DesktopSectionIntro::title() const { return title_->text(); }
QString DesktopSectionIntro::subtitle() const { return subtitle_->text(); }

}  // namespace tarnwell
