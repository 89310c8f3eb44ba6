// Kicker, rule, surface, status chip, callout and metric card.
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QVBoxLayout>
#include <cmath>

#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopStatusKind.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"
#include "viewkit/ViewKitTestSupport.hpp"

namespace tarnwell {
namespace {

using DesktopPalette::withOpacity;
using testing::over;
using testing::pixel;
using testing::sameColor;

TEST(DesktopKickerTest, ShowsCapitalsButKeepsItsText) {
    DesktopKicker kicker(QStringLiteral("Activity"));
    EXPECT_EQ(kicker.text(), QStringLiteral("Activity"));
    EXPECT_EQ(kicker.font().capitalization(), QFont::AllUppercase);
    EXPECT_EQ(kicker.font().pixelSize(), 11);
    EXPECT_NEAR(kicker.font().letterSpacing(), 2.2, 0.02);
    // Monospaced in the glyphs drawn, whatever fonts the desktop has.
    const QFontMetricsF metrics(kicker.font());
    EXPECT_DOUBLE_EQ(metrics.horizontalAdvance(QStringLiteral("i")), metrics.horizontalAdvance(QStringLiteral("W")));
    EXPECT_TRUE(kicker.wordWrap());
}

TEST(DesktopRuleTest, OnePixelAcrossItsContainer) {
    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* rule = new DesktopRule;
    layout->addWidget(rule);
    host.resize(300, 40);
    host.show();
    EXPECT_EQ(rule->size(), QSize(300, 1));
    EXPECT_TRUE(sameColor(pixel(*rule, 150, 0), DesktopPalette::border()));
}

TEST(DesktopSurfaceTest, PaddingAndColoursOfEveryTone) {
    DesktopSurface plain;
    EXPECT_EQ(plain.tone(), DesktopSurfaceTone::strong);
    auto* content = new QLabel(QStringLiteral("content"));
    plain.setContent(content);
    plain.resize(240, 120);
    plain.show();
    EXPECT_EQ(content->geometry(), QRect(24, 24, 240 - 48, 120 - 48));

    DesktopSurface flush(DesktopSurfaceTone::page, 0);
    auto* flushContent = new QWidget;
    flush.setContent(flushContent);
    flush.resize(100, 60);
    flush.show();
    EXPECT_EQ(flushContent->geometry(), QRect(0, 0, 100, 60));

    const std::vector<std::tuple<DesktopSurfaceTone, QColor, QColor>> tones{
        {DesktopSurfaceTone::page, DesktopPalette::page(), DesktopPalette::border()},
        {DesktopSurfaceTone::surface, DesktopPalette::surface(), DesktopPalette::border()},
        {DesktopSurfaceTone::strong, DesktopPalette::surfaceStrong(), DesktopPalette::border()},
        {DesktopSurfaceTone::accent, DesktopPalette::accentSoft(), withOpacity(DesktopPalette::accentDeep(), 0.36)},
    };
    for (const auto& [tone, fill, border] : tones) {
        DesktopSurface surface(tone);
        surface.resize(200, 100);
        const QColor behind = Qt::black;
        const QImage image = testing::grabbedOver(surface, behind);
        EXPECT_TRUE(sameColor(image.pixelColor(100, 50), over(fill, behind)));
        EXPECT_TRUE(sameColor(image.pixelColor(100, 0), over(border, over(fill, behind))));
        // The panel fills its rounded shape: the very corner shows what is behind.
        EXPECT_TRUE(sameColor(image.pixelColor(0, 0), behind));
    }
}

TEST(DesktopStatusChipTest, Is34HighAndAsWideAsDotGapTextAndPadding) {
    DesktopStatusChip chip(QStringLiteral("Running"), StatusPillKind::ok);
    const int text = static_cast<int>(std::ceil(QFontMetricsF(chip.font()).horizontalAdvance("Running")));
    EXPECT_EQ(chip.sizeHint(), QSize(7 + 8 + text + 24, 34));
    chip.setText(QStringLiteral("Ingestion: Worker not running (12 queued, 45m) and much more text"));
    chip.resize(120, chip.sizeHint().height());
    EXPECT_EQ(chip.height(), 34);
    EXPECT_EQ(chip.minimumSizeHint().height(), 34);
}

TEST(DesktopStatusChipTest, ColoursOfEachKind) {
    struct Case {
        StatusPillKind kind;
        QColor dot, background, stroke;
    };
    const QColor success = DesktopPalette::success();
    const std::vector<Case> cases{
        {StatusPillKind::ok, success, withOpacity(success, 0.10), withOpacity(success, 0.20)},
        {StatusPillKind::error, DesktopPalette::danger(), withOpacity(DesktopPalette::danger(), 0.10),
         withOpacity(DesktopPalette::danger(), 0.20)},
        {StatusPillKind::accent, DesktopPalette::accentDeep(), DesktopPalette::accentSoft(),
         withOpacity(DesktopPalette::accentDeep(), 0.36)},
        {StatusPillKind::muted, DesktopPalette::muted(), DesktopPalette::surface(), DesktopPalette::border()},
    };
    for (const Case& c : cases) {
        DesktopStatusChip chip(QStringLiteral("Status"), c.kind);
        chip.resize(chip.sizeHint());
        const QColor behind = Qt::black;
        const QImage image = testing::grabbedOver(chip, behind);
        // The square fill reaches the very corner, outside the rounded border.
        EXPECT_TRUE(sameColor(image.pixelColor(0, 0), over(c.background, behind))) << static_cast<int>(c.kind);
        EXPECT_TRUE(sameColor(image.pixelColor(chip.width() / 2, 0), over(c.stroke, over(c.background, behind))));
        EXPECT_TRUE(sameColor(image.pixelColor(12 + 3, 17), c.dot, 12));
    }
    EXPECT_EQ(statusChipColors(StatusPillKind::muted).foreground, DesktopPalette::muted());
    EXPECT_EQ(statusChipColors(StatusPillKind::warn).foreground, DesktopPalette::text());
}

TEST(DesktopCalloutTest, ErrorKindFillsTheWidthWithItsSymbolAndTint) {
    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* callout = new DesktopCallout(QStringLiteral("Ingestion: Errors (3)"), StatusPillKind::error);
    layout->addWidget(callout);
    layout->addStretch(1);
    host.resize(700, 300);
    host.show();
    EXPECT_EQ(callout->width(), 700);
    EXPECT_EQ(callout->iconName(), QStringLiteral("xmark.octagon.fill"));
    const QImage image = testing::grabbedOver(*callout, Qt::white);
    EXPECT_TRUE(sameColor(image.pixelColor(0, 0), over(withOpacity(DesktopPalette::danger(), 0.08), Qt::white)));
    EXPECT_TRUE(sameColor(image.pixelColor(350, 0), over(withOpacity(DesktopPalette::danger(), 0.18),
                                                         over(withOpacity(DesktopPalette::danger(), 0.08), Qt::white))));
    // The symbol is drawn, in the kind colour.
    bool symbolDrawn = false;
    for (int y = 16; y < 32 && !symbolDrawn; ++y) {
        for (int x = 16; x < 32 && !symbolDrawn; ++x) {
            symbolDrawn = sameColor(image.pixelColor(x, y), DesktopPalette::danger(), 6);
        }
    }
    EXPECT_TRUE(symbolDrawn);

    // A long sentence wraps and the box grows instead of truncating.
    const int oneLine = callout->height();
    callout->setText(QStringLiteral("a sentence of several words ").repeated(12));
    host.resize(300, 600);
    QApplication::processEvents();
    EXPECT_GT(callout->height(), oneLine * 2);
    EXPECT_EQ(callout->width(), 300);
}

TEST(DesktopMetricCardTest, DetailRulesMinimumHeightAndShrinkingValue) {
    DesktopMetricCard absent(QStringLiteral("Errors"), QStringLiteral("--"), std::nullopt);
    DesktopMetricCard empty(QStringLiteral("Errors"), QStringLiteral("--"), QString());
    DesktopMetricCard shown(QStringLiteral("Errors"), QStringLiteral("3"), QStringLiteral("detail"));
    EXPECT_FALSE(absent.showsDetail());
    EXPECT_FALSE(empty.showsDetail());
    EXPECT_TRUE(shown.showsDetail());
    absent.resize(240, 10);
    absent.show();
    EXPECT_GE(absent.height(), 168);
    EXPECT_TRUE(sameColor(pixel(absent, 0, 0), DesktopPalette::surface()));

    DesktopFittedText value(DesktopFonts::system(28, QFont::Black), 3, 0.84);
    value.setText(QStringLiteral("12 / 40"));
    EXPECT_DOUBLE_EQ(value.fitFor(400).scale, 1.0);
    value.setText(QStringLiteral("ab ").repeated(60).trimmed());
    const int natural = static_cast<int>(QFontMetricsF(value.font()).horizontalAdvance(value.text()));
    const auto shrunk = value.fitFor(natural * 10 / 33);
    EXPECT_LE(shrunk.lines.size(), 3);
    EXPECT_LT(shrunk.scale, 1.0);
    EXPECT_GE(shrunk.scale, 0.84);
    EXPECT_FALSE(shrunk.elided);
    value.setText(QStringLiteral("words ").repeated(60).trimmed());
    const auto cut = value.fitFor(200);
    EXPECT_EQ(cut.lines.size(), 3);
    EXPECT_DOUBLE_EQ(cut.scale, 0.84);
    EXPECT_TRUE(cut.elided);
}

}  // namespace
}  // namespace tarnwell
