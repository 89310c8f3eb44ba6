#include "Screens/DesktopInitializationFailureView.hpp"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {
constexpr int kOuterPadding = 24;
const char* const kFallbackText = "Failed to initialize the native app.";
} // namespace

DesktopInitializationFailureView::DesktopInitializationFailureView(const QString& error, QWidget* parent)
    : QWidget(parent), errorText_(error.isEmpty() ? QString::fromLatin1(kFallbackText) : error) {
    setObjectName(QStringLiteral("initializationFailure"));
    setMinimumSize(640, 320);

    auto* surface = new DesktopSurface(DesktopSurfaceTone::surface, DesktopSurface::kDefaultPadding);
    auto* stack = new QWidget;
    auto* column = new QVBoxLayout(stack);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);

    column->addWidget(new DesktopKicker(QStringLiteral("Tarnwell")));

    auto* headline = new QLabel(tr("Native app initialization failed."));
    QFont headlineFont = DesktopFonts::system(34, QFont::Black);
    headlineFont.setLetterSpacing(QFont::AbsoluteSpacing, -1);
    styleLabel(headline, headlineFont, DesktopPalette::text());
    column->addWidget(headline);

    auto* detail = new QLabel(errorText_);
    detail->setObjectName(QStringLiteral("initializationError"));
    const QFont detailFont = DesktopFonts::system(13, QFont::Normal);
    styleLabel(detail, detailFont, DesktopPalette::muted());
    detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(detail);
    surface->setContent(stack);

    // The panel is as wide as its longest line asks, never wider than the
    // window allows; the rest of the window is page around it.
    const int naturalWidth = std::max(QFontMetrics(headlineFont).horizontalAdvance(headline->text()),
                                      QFontMetrics(detailFont).horizontalAdvance(errorText_));
    surface->setMaximumWidth(naturalWidth + 2 * DesktopSurface::kDefaultPadding + 8);
    surface->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch(0);
    row->addWidget(surface, 1);
    row->addStretch(0);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(kOuterPadding, kOuterPadding, kOuterPadding, kOuterPadding);
    outer->addStretch(1);
    outer->addLayout(row);
    outer->addStretch(1);
}

void DesktopInitializationFailureView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), DesktopPalette::page());
}

} // namespace tarnwell
