// The palette's derived colours, the button styles and the input field.
#include <QApplication>
#include <QHBoxLayout>
#include <QTest>
#include <cmath>

#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopInputField.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopStatusKind.hpp"
#include "viewkit/ViewKitTestSupport.hpp"
#include "support/DesktopModelHarness.hpp"

namespace tarnwell {
namespace {

using testing::pixel;
using testing::sameColor;

TEST(DesktopPaletteTest, DerivedColoursAndKindColours) {
    const QColor soft = DesktopPalette::accentSoft();
    EXPECT_EQ(soft.rgb(), DesktopPalette::accent().rgb());
    EXPECT_NEAR(soft.alphaF(), 0.18, 0.005);
    EXPECT_EQ(statusKindColor(StatusPillKind::accent), DesktopPalette::accentDeep());
    EXPECT_EQ(statusKindColor(StatusPillKind::ok), DesktopPalette::success());
    EXPECT_EQ(statusKindColor(StatusPillKind::warn), DesktopPalette::warning());
    EXPECT_EQ(statusKindColor(StatusPillKind::error), DesktopPalette::danger());
    EXPECT_EQ(statusKindColor(StatusPillKind::muted), DesktopPalette::muted());
    EXPECT_EQ(surfaceBorderColor(DesktopSurfaceTone::accent).rgb(), DesktopPalette::accentDeep().rgb());
    EXPECT_EQ(surfaceBorderColor(DesktopSurfaceTone::page), DesktopPalette::border());
}

TEST(DesktopButtonTest, IsLabelPlus36WideAndAtLeast44High) {
    DesktopButton button(QStringLiteral("Go"), DesktopButton::Style::primary);
    const int label = static_cast<int>(std::ceil(QFontMetricsF(button.font()).horizontalAdvance("Go")));
    EXPECT_EQ(button.sizeHint(), QSize(label + 36, 44));
    EXPECT_EQ(button.font().pixelSize(), 13);
    EXPECT_EQ(button.font().weight(), QFont::Bold);

    // Large type grows the button; 44 is only a minimum.
    button.setFont(DesktopFonts::system(60, QFont::Bold));
    EXPECT_GT(button.sizeHint().height(), 44);
}

TEST(DesktopButtonTest, SquareFillUnderTheBorderAndDisabledLooksEnabled) {
    for (auto style : {DesktopButton::Style::primary, DesktopButton::Style::secondary}) {
        DesktopButton button(QStringLiteral("Open dashboard"), style);
        button.resize(button.sizeHint());
        const QColor fill =
            style == DesktopButton::Style::primary ? DesktopPalette::accent() : DesktopPalette::surfaceStrong();
        // The corner outside the rounded border keeps the fill: it is not clipped.
        EXPECT_TRUE(sameColor(pixel(button, 0, 0), fill));
        EXPECT_TRUE(sameColor(pixel(button, 4, button.height() / 2), fill));
        EXPECT_TRUE(sameColor(pixel(button, button.width() / 2, 0), DesktopPalette::borderStrong()));
        EXPECT_TRUE(sameColor(pixel(button, button.width() / 2, button.height() - 1), DesktopPalette::borderStrong()));

        const QImage enabled = testing::grabbed(button);
        button.setEnabled(false);
        EXPECT_EQ(testing::grabbed(button), enabled);
    }
}

TEST(DesktopButtonTest, HoldingShrinksTo98Point5PercentAndReleasingRestores) {
    DesktopButton button(QStringLiteral("Start sync"), DesktopButton::Style::primary);
    button.resize(button.sizeHint());
    button.show();
    int clicks = 0;
    QObject::connect(&button, &QAbstractButton::clicked, [&] { ++clicks; });

    QTest::mousePress(&button, Qt::LeftButton);
    EXPECT_TRUE(testing::waitUntil([&] { return qFuzzyCompare(button.currentScale(), 0.985); }, 5000));
    EXPECT_EQ(clicks, 0);
    QTest::mouseRelease(&button, Qt::LeftButton);
    EXPECT_TRUE(testing::waitUntil([&] { return qFuzzyCompare(button.currentScale(), 1.0); }, 5000));
    EXPECT_EQ(clicks, 1);

    // Dragging off a held button lifts it too.
    QTest::mousePress(&button, Qt::LeftButton);
    QMouseEvent away(QEvent::MouseMove, QPointF(-50, -50), button.mapToGlobal(QPointF(-50, -50)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&button, &away);
    EXPECT_TRUE(testing::waitUntil([&] { return qFuzzyCompare(button.currentScale(), 1.0); }, 5000));
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(-50, -50));
    EXPECT_EQ(clicks, 1);
}

TEST(DesktopButtonTest, PrimaryShadowShowsBeyondATightRowAndFollowsIt) {
    // A white page holding a row exactly the button's size.
    QWidget page;
    page.setAutoFillBackground(true);
    QPalette colours = page.palette();
    colours.setColor(QPalette::Window, Qt::white);
    page.setPalette(colours);
    page.resize(300, 200);
    auto* row = new QWidget(&page);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    auto* button = new DesktopButton(QStringLiteral("Open dashboard"), DesktopButton::Style::primary);
    rowLayout->addWidget(button);
    auto* secondary = new DesktopButton(QStringLiteral("Refresh"), DesktopButton::Style::secondary, &page);
    secondary->move(200, 20);
    row->move(40, 40);
    row->resize(row->sizeHint());
    page.show();
    QApplication::processEvents();
    ASSERT_EQ(row->size(), button->size());

    auto shadowBelow = [&] {
        const QImage image = testing::grabbed(page);
        const QPoint below = button->mapTo(&page, QPoint(button->width() / 2, button->height() + 5));
        return image.pixelColor(below).lightness();
    };
    EXPECT_LT(shadowBelow(), 250) << "the shadow shows below the row";
    // The row moves: the shadow goes with it, and the old place is clean.
    const QPoint old = button->mapTo(&page, QPoint(button->width() / 2, button->height() + 5));
    row->move(40, 130);
    QApplication::processEvents();
    EXPECT_LT(shadowBelow(), 250);
    EXPECT_EQ(testing::grabbed(page).pixelColor(old).lightness(), 255);
    // The secondary button casts none; clicks in the shadow reach what lies under it.
    EXPECT_EQ(testing::grabbed(page).pixelColor(secondary->mapTo(&page, QPoint(10, secondary->height() + 5))).lightness(),
              255);
    EXPECT_EQ(page.childAt(button->mapTo(&page, QPoint(button->width() / 2, button->height() + 5))), nullptr);
    row->hide();
    QApplication::processEvents();
    EXPECT_EQ(testing::grabbed(page).pixelColor(button->mapTo(&page, QPoint(button->width() / 2, button->height() + 5)))
                  .lightness(),
              255);
}

TEST(DesktopInputFieldTest, Always46HighWhiteWithAHairlineBorder) {
    DesktopInputField field;
    field.setFont(DesktopFonts::system(40, QFont::Medium));
    field.resize(300, field.sizeHint().height());
    field.show();
    EXPECT_EQ(field.height(), 46);
    EXPECT_EQ(field.sizeHint().height(), 46);
    // The text starts 14 in from the edge, the line edit's own margin included.
    field.setCursorPosition(0);
    EXPECT_NEAR(field.inputMethodQuery(Qt::ImCursorRectangle).toRectF().center().x(), 14, 0.5);
    EXPECT_TRUE(sameColor(pixel(field, 0, 0), DesktopPalette::surfaceStrong()));
    EXPECT_TRUE(sameColor(pixel(field, 150, 0), DesktopPalette::border()));
    EXPECT_TRUE(sameColor(pixel(field, 0, 23), DesktopPalette::border()));
}

}  // namespace
}  // namespace tarnwell
