// At the smallest window, with the longest common texts and with the divider
// dragged as far right as it goes, every screen shows every text whole:
// each label as tall as its lines, nothing pushed past an edge.
#include <QAbstractScrollArea>
#include <QClipboard>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>

#include "Screens/ContentView.hpp"
#include "Screens/DesktopScreenParts.hpp"
#include "Screens/DesktopSidebarView.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSectionIntro.hpp"
#include "ViewKit/DesktopSelectableText.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "window/WindowHarness.hpp"

using namespace tarnwell;
using namespace tarnwell::testing;

namespace {

QString describe(QWidget* widget, const QString& text) {
    return QString::fromLatin1(widget->metaObject()->className()) + " '" + text.left(60) + "'";
}

// Whether an ancestor cuts `widget` off. A scrolling page may carry it
// above or below its viewport (only the part inside the viewport counts
// further out), never past a side.
bool clipped(QWidget* widget, QWidget* window) {
    QRect box(widget->mapTo(window, QPoint(0, 0)), widget->size());
    for (QWidget* above = widget->parentWidget(); above != nullptr; above = above->parentWidget()) {
        const QRect area(above->mapTo(window, QPoint(0, 0)), above->size());
        if (box.left() < area.left() || box.right() > area.right()) return true;
        auto* scroller = qobject_cast<QAbstractScrollArea*>(above->parentWidget());
        if (scroller != nullptr && scroller->viewport() == above) {
            box.setTop(std::max(box.top(), area.top()));
            box.setBottom(std::min(box.bottom(), area.bottom()));
            if (box.height() <= 0) return false; // scrolled out of sight
        } else if (box.top() < area.top() || box.bottom() > area.bottom()) {
            return true;
        }
        if (above == window) break;
    }
    return false;
}

// The widest word of `text` as drawn in `font` (a wrapping label also
// breaks after a hyphen): how far its advance or its ink reaches.
int widestWord(const QString& text, const QFont& font) {
    const QFontMetricsF metrics(font);
    qreal widest = 0;
    for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+|(?<=-)")), Qt::SkipEmptyParts)) {
        widest = std::max({widest, metrics.horizontalAdvance(word), metrics.boundingRect(word).right()});
    }
    return static_cast<int>(std::ceil(widest));
}

// The window as drawn, at a point of `widget`.
QColor drawnAt(QWidget* window, QWidget* widget, QPoint point) {
    return window->grab().toImage().pixelColor(widget->mapTo(window, point));
}

// Every shown text under `window` that is cut, with what is wrong with it.
QStringList cutTexts(QWidget* window) {
    QStringList cut;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(window)) continue;
        QString text;
        bool whole = true;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            text = label->text();
            if (text.isEmpty()) continue;
            whole = label->wordWrap() ? label->height() >= label->heightForWidth(label->width()) &&
                                            label->contentsRect().width() >= widestWord(text, label->font())
                                      : label->width() >= label->sizeHint().width() &&
                                            label->height() >= label->sizeHint().height();
        } else if (auto* selectable = qobject_cast<DesktopSelectableText*>(widget)) {
            text = selectable->text();
            whole = selectable->height() >= selectable->heightForWidth(selectable->width());
        } else if (auto* fitted = dynamic_cast<DesktopFittedText*>(widget)) {
            text = fitted->text();
            whole = fitted->height() >= fitted->heightForWidth(fitted->width());
        } else if (auto* chip = qobject_cast<DesktopStatusChip*>(widget)) {
            text = chip->text();
            whole = chip->wrapsText() ? chip->height() >= chip->heightForWidth(chip->width())
                                      : chip->width() >= chip->sizeHint().width();
        } else if (auto* button = qobject_cast<DesktopButton*>(widget)) {
            text = button->text();
            whole = button->width() >= button->sizeHint().width();
        } else {
            continue;
        }
        if (!whole) cut << describe(widget, text) + " is cut short";
        if (clipped(widget, window)) cut << describe(widget, text) + " lies past an edge";
    }
    return cut;
}

} // namespace

TEST(WindowFit, EveryTextWholeAtTheSmallestSizeAndWithTheWidestSidebar) {
    WindowHarness harness;
    harness.open();
    ASSERT_TRUE(harness.signInWithLongTexts());
    QWidget* window = harness.window();
    auto* content = window->findChild<ContentView*>();
    ASSERT_NE(content, nullptr);
    window->resize(ContentView::minimumWidth, ContentView::minimumHeight);
    settle();
    ASSERT_EQ(harness.model()->ingestPresentation().kind, StatusPillKind::warn);

    // As the window opens at its smallest: the sidebar whole, on its own
    // colour, and on every screen the header's three buttons in one row
    // under the chips.
    DesktopSidebarView* sidebar = content->sidebar();
    EXPECT_EQ(sidebar->width(), DesktopSidebarView::idealWidth);
    const QColor sidebarColour = drawnAt(window, sidebar, QPoint(8, sidebar->height() / 2));
    EXPECT_EQ(sidebarColour.rgb(), DesktopPalette::surface().rgb()) << sidebarColour.name().toStdString();
    auto expectSidebarWhole = [&](const char* when) {
        // Its margins may have given way, down to half.
        QWidget* card = sidebar->accountCard();
        EXPECT_LE(card->mapTo(sidebar, QPoint(0, card->height())).y() + 12, sidebar->height()) << when;
        EXPECT_EQ(sidebar->findChild<QAbstractScrollArea*>()->verticalScrollBar()->maximum(), 0) << when;
    };
    expectSidebarWhole("signed in");
    for (DesktopDestination destination : desktop_destination::allCases) {
        content->setSelectedDestination(destination);
        settle();
        int rowTop = -1;
        for (const char* name : {"refreshButton", "dashboardButton", "signOutButton"}) {
            auto* button = content->scaffold()->findChild<QWidget*>(QString::fromLatin1(name));
            const int top = button->mapTo(window, QPoint(0, 0)).y();
            if (rowTop < 0) rowTop = top;
            EXPECT_EQ(top, rowTop) << desktop_destination::rawValue(destination).toStdString() << " " << name;
        }
        QWidget* chips = content->scaffold()->findChild<QWidget*>(QStringLiteral("statusChips"));
        EXPECT_LT(chips->mapTo(window, QPoint(0, chips->height())).y(), rowTop);
    }

    // Every screen, signed in and signed out, as the window opens and with
    // the divider dragged as far right as it goes on the narrowest screen.
    auto expectEveryScreenWhole = [&](const char* state) {
        for (const bool wideSidebar : {false, true}) {
            if (wideSidebar) {
                content->setSelectedDestination(DesktopDestination::sync);
                settle();
                harness.dragDividerTo(window->width());
                settle();
                EXPECT_GT(sidebar->width(), DesktopSidebarView::idealWidth);
                EXPECT_EQ(sidebar->width(), window->width() - 1 - content->detailMinimumWidth());
            }
            for (DesktopDestination destination : desktop_destination::allCases) {
                content->setSelectedDestination(destination);
                settle();
                EXPECT_EQ(window->size(), QSize(ContentView::minimumWidth, ContentView::minimumHeight));
                EXPECT_GE(content->scaffold()->width(), content->scaffold()->minimumSizeHint().width());
                const QStringList cut = cutTexts(window);
                EXPECT_TRUE(cut.isEmpty()) << state << " " << desktop_destination::rawValue(destination).toStdString()
                                           << (wideSidebar ? ", widest sidebar:\n" : ":\n")
                                           << cut.join(QLatin1Char('\n')).toStdString();
            }
        }
        harness.dragDividerTo(DesktopSidebarView::idealWidth);
        settle();
    };
    expectEveryScreenWhole("signed in");

    // The chosen folder's row ends in "…" after three lines, yet the whole
    // path is selected and copied, and the wheel over it scrolls the page.
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    auto* box = content->findChild<DesktopFolderBox*>();
    ASSERT_NE(box, nullptr);
    auto* path = box->findChild<DesktopSelectableText*>();
    ASSERT_NE(path, nullptr);
    const QStringList lines = path->shownLines(path->width());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.back().endsWith(QChar(0x2026)));
    EXPECT_EQ(path->text(), harness.model()->folderLabel(harness.model()->folders().front()));
    QTest::mouseClick(path, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(path, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), path->text());
    // A drag from the middle of the last line to past its end takes the
    // hidden tail too.
    const int lineHeight = path->height() / 3;
    QTest::mousePress(path, Qt::LeftButton, Qt::NoModifier, QPoint(path->width() / 2, lineHeight * 5 / 2));
    QTest::mouseMove(path, QPoint(path->width() - 1, lineHeight * 5 / 2));
    QTest::mouseRelease(path, Qt::LeftButton, Qt::NoModifier, QPoint(path->width() - 1, lineHeight * 5 / 2));
    const QString hidden = path->text().mid(lines.join(QString()).size() - 1);
    ASSERT_FALSE(hidden.isEmpty());
    EXPECT_TRUE(path->text().endsWith(path->selectedText()));
    EXPECT_GT(path->selectedText().size(), hidden.size());

    QScrollBar* page = content->scaffold()->verticalScrollBar();
    page->setValue(0);
    // Handed on as Qt hands on a wheel turn: from the text outwards until a
    // widget takes it. The text lets it pass, so the page scrolls.
    QWidget* taker = nullptr;
    for (QWidget* widget = path; widget != nullptr && taker == nullptr; widget = widget->parentWidget()) {
        const QPointF at = path->mapTo(widget, path->rect().center());
        QWheelEvent wheel(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(widget, &wheel);
        if (wheel.isAccepted()) taker = widget;
    }
    EXPECT_EQ(taker, content->scaffold()->viewport());
    EXPECT_GT(page->value(), 0);

    const auto signOut = harness.model()->signOut();
    ASSERT_TRUE(spinUntil([&] { return signOut.isFinished(); }));
    settle();
    expectSidebarWhole("signed out");
    expectEveryScreenWhole("signed out");
}
