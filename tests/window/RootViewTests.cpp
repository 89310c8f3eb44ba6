// The root view's own duties: the remembered screen, the sidebar's marking
// of it, the window's minimum size, the replacement question's life and
// the keyboard focus: shown on every Tab stop, entering the speed picker on
// its choice, and never left out of sight.
#include <QAbstractScrollArea>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollBar>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include "Screens/ContentView.hpp"
#include "Screens/DesktopScreenParts.hpp"
#include "Screens/DesktopSidebarView.hpp"
#include "Screens/DesktopSyncView.hpp"
#include "ViewKit/DesktopConsoleView.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSelectableText.hpp"
#include "window/WindowHarness.hpp"

using namespace tarnwell;
using namespace tarnwell::testing;

namespace {

QString windowSettingsFile(const WindowHarness& harness) {
    return QString::fromStdString((harness.state.path() / "window.ini").string());
}

// The colour of the row's indicator bar and of its fill.
std::pair<QColor, QColor> rowColours(SidebarDestinationButton* row) {
    const QImage image = row->grab().toImage();
    const int y = image.height() / 2;
    return {image.pixelColor(18, y), image.pixelColor(image.width() - 6, y)};
}

} // namespace

TEST(RootView, RemembersTheScreenAndMarksItsRow) {
    WindowHarness harness;
    {
        QSettings stored(windowSettingsFile(harness), QSettings::IniFormat);
        stored.setValue(ContentView::destinationKey, "activity");
    }
    harness.open();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(content->scaffold()->destination(), DesktopDestination::activity);
    settle();
    for (DesktopDestination destination : desktop_destination::allCases) {
        SidebarDestinationButton* row = content->sidebar()->row(destination);
        const bool selected = destination == DesktopDestination::activity;
        EXPECT_EQ(row->isSelected(), selected);
        const auto [bar, fill] = rowColours(row);
        EXPECT_EQ(bar.rgb(), (selected ? DesktopPalette::accentDeep() : DesktopPalette::border()).rgb());
        EXPECT_EQ(fill.rgb(), (selected ? DesktopPalette::surfaceStrong() : DesktopPalette::surface()).rgb());
    }

    // Tabbing to a row rings it in ink; a click does not.
    SidebarDestinationButton* overviewRow = content->sidebar()->row(DesktopDestination::overview);
    auto ring = [&] { return overviewRow->grab().toImage().pixelColor(4, overviewRow->height() / 2).rgb(); };
    overviewRow->clearFocus(); // the first row may hold the focus the window opened with
    overviewRow->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(ring(), DesktopPalette::text().rgb());
    overviewRow->clearFocus();
    overviewRow->setFocus(Qt::MouseFocusReason);
    EXPECT_NE(ring(), DesktopPalette::text().rgb());

    // A click stores the screen, in a file only its owner can read; writing
    // none stores the overview.
    QTest::mouseClick(content->sidebar()->row(DesktopDestination::sync), Qt::LeftButton);
    EXPECT_EQ(content->scaffold()->destination(), DesktopDestination::sync);
    EXPECT_EQ(QSettings(windowSettingsFile(harness), QSettings::IniFormat).value(ContentView::destinationKey), "sync");
    const auto perms = std::filesystem::status(harness.state.path() / "window.ini").permissions();
    EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
              std::filesystem::perms::none);
    content->setSelectedDestination(std::nullopt);
    EXPECT_EQ(content->scaffold()->destination(), DesktopDestination::overview);
    EXPECT_EQ(QSettings(windowSettingsFile(harness), QSettings::IniFormat).value(ContentView::destinationKey),
              "overview");

    // A stored name of no screen (case matters) opens the overview and stays stored.
    QSettings odd(windowSettingsFile(harness), QSettings::IniFormat);
    odd.setValue(ContentView::destinationKey, "Activity");
    ContentView second(*harness.model(), odd);
    EXPECT_EQ(second.scaffold()->destination(), DesktopDestination::overview);
    EXPECT_TRUE(second.sidebar()->row(DesktopDestination::overview)->isSelected());
    EXPECT_EQ(odd.value(ContentView::destinationKey), "Activity");

    // The window can't be made smaller than the root view allows.
    harness.window()->resize(800, 500);
    settle();
    EXPECT_GE(harness.window()->width(), ContentView::minimumWidth);
    EXPECT_GE(harness.window()->height(), ContentView::minimumHeight);
}

TEST(RootView, ReplacementQuestionFollowsThePendingChoice) {
    WindowHarness harness;
    harness.open();
    DesktopAppModel* model = harness.model();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_TRUE(harness.signIn());

    model->chooseHomeFolder(); // empty selection: no question
    EXPECT_EQ(content->folderReplacementAlert(), nullptr);
    model->chooseRootFolder();
    ASSERT_NE(content->folderReplacementAlert(), nullptr);
    QMessageBox* alert = content->folderReplacementAlert();
    EXPECT_EQ(alert->text(), "Replace folder selection with full disk?");
    EXPECT_TRUE(alert->windowModality() == Qt::WindowModal);

    // A newer question takes over the one on screen.
    harness.chooser->next = QString::fromStdString(harness.documents.path().string());
    model->addFolder();
    EXPECT_EQ(content->folderReplacementAlert(), alert);
    EXPECT_EQ(alert->text(), "Replace all-folders selection?");
    EXPECT_EQ(alert->informativeText(),
              "You currently have an all-folders selection active. Replace it with this specific folder?");
    EXPECT_NE(findButton(alert, "Replace with folder"), nullptr);

    // Signing out drops the question, and the window with it.
    model->signOut();
    ASSERT_TRUE(spinUntil([&] { return content->folderReplacementAlert() == nullptr; }));
    EXPECT_FALSE(model->pendingFolderSelectionConfirmation().has_value());
    EXPECT_EQ(model->folders(), QStringList{model->homeFolder()});
}

TEST(RootView, TabStopsShowFocusAndSelectionsEndWithTheirFocus) {
    WindowHarness harness;
    harness.open();
    DesktopAppModel* model = harness.model();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_TRUE(harness.signIn());
    harness.addDocumentsFolder();
    ASSERT_TRUE(spinUntil([&] { return !model->logLines().isEmpty(); }));

    // Tab reaches controls that draw their focus, never a scrolling area
    // that would hold it unseen.
    for (DesktopDestination destination : desktop_destination::allCases) {
        content->setSelectedDestination(destination);
        settle();
        QWidget* window = harness.window();
        int stops = 0;
        for (QWidget* widget = window->nextInFocusChain(); widget != window; widget = widget->nextInFocusChain()) {
            if (!widget->isVisibleTo(window) || !widget->isEnabled() || !(widget->focusPolicy() & Qt::TabFocus)) {
                continue;
            }
            ++stops;
            EXPECT_EQ(qobject_cast<QAbstractScrollArea*>(widget), nullptr)
                << desktop_destination::rawValue(destination).toStdString() << ": "
                << widget->metaObject()->className() << " " << widget->objectName().toStdString();
        }
        EXPECT_GT(stops, 3);
    }

    // A selected path, and a selected console line, lose their highlight
    // when a click elsewhere takes the focus.
    auto clickBesideThePage = [&] {
        QTest::mouseClick(content->scaffold()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(6, 6));
    };
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    auto* path = content->findChild<DesktopFolderBox*>()->findChild<DesktopSelectableText*>();
    ASSERT_NE(path, nullptr);
    QTest::mouseClick(path, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
    ASSERT_EQ(path->selectedText(), path->text());
    clickBesideThePage();
    EXPECT_TRUE(path->selectedText().isEmpty());

    content->setSelectedDestination(DesktopDestination::activity);
    settle();
    auto* console = content->findChild<DesktopConsoleView*>();
    ASSERT_NE(console, nullptr);
    const QPoint line = console->pointOf({0, 1}).toPoint();
    QTest::mouseDClick(console->viewport(), Qt::LeftButton, Qt::NoModifier, line);
    QTest::mouseRelease(console->viewport(), Qt::LeftButton, Qt::NoModifier, line);
    ASSERT_EQ(console->selectedText(), model->logLines().front());
    EXPECT_EQ(harness.window()->focusWidget(), console);
    clickBesideThePage();
    EXPECT_FALSE(console->hasSelection());
}

TEST(RootView, EveryTabStopShowsTheKeyboardFocus) {
    WindowHarness harness;
    harness.open();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_TRUE(harness.signIn());
    harness.addDocumentsFolder();
    QWidget* window = harness.window();

    // Whether the control holding the keyboard's focus looks different from
    // the same control holding a click's, as the window shows it (with a
    // margin for a ring drawn around it). Leaves the keyboard's focus there.
    auto showsKeyboardFocus = [&](QWidget* control) {
        const QRect area = QRect(control->mapTo(window, QPoint(0, 0)), control->size()).adjusted(-4, -4, 4, 4);
        const QImage keyboard = window->grab(area).toImage();
        control->clearFocus();
        control->setFocus(Qt::MouseFocusReason);
        const QImage clicked = window->grab(area).toImage();
        control->clearFocus();
        control->setFocus(Qt::TabFocusReason);
        return keyboard != clicked;
    };
    auto describe = [](QWidget* control) {
        auto* button = qobject_cast<QAbstractButton*>(control);
        return std::string(control->metaObject()->className()) + " " +
               (button ? button->text() : control->objectName()).toStdString();
    };

    for (DesktopDestination destination : desktop_destination::allCases) {
        content->setSelectedDestination(destination);
        settle();
        const std::string screen = desktop_destination::rawValue(destination).toStdString();
        QList<QWidget*> stops;
        for (int step = 0; step < 100; ++step) {
            QWidget* focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : window, Qt::Key_Tab);
            QWidget* stop = QApplication::focusWidget();
            ASSERT_NE(stop, nullptr) << screen;
            if (stops.contains(stop)) break;
            stops << stop;
            if (qobject_cast<QLineEdit*>(stop)) continue;
            EXPECT_TRUE(showsKeyboardFocus(stop)) << screen << ": " << describe(stop);
        }
        EXPECT_GT(stops.size(), 3) << screen;
    }

    // The arrow keys move the speed picker's choice, and its ring with it.
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    auto* picker = content->findChild<DesktopSpeedPicker*>();
    ASSERT_NE(picker, nullptr);
    content->scaffold()->ensureWidgetVisible(picker);
    picker->segment(SyncMode::regular)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(picker->segment(SyncMode::regular), Qt::Key_Right);
    ASSERT_TRUE(picker->segment(SyncMode::ultra)->hasFocus());
    EXPECT_TRUE(picker->segment(SyncMode::ultra)->isChecked());
    EXPECT_TRUE(showsKeyboardFocus(picker->segment(SyncMode::ultra)));
}

namespace {

// The smallest window and the one it opens at.
const QList<QSize> kWindowSizes{{ContentView::minimumWidth, ContentView::minimumHeight}, {1280, 860}};

std::string sizeText(QSize size) {
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

} // namespace

TEST(RootView, TabAndBacktabEnterTheSpeedPickerOnItsChoice) {
    WindowHarness harness;
    harness.open();
    DesktopAppModel* model = harness.model();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_TRUE(harness.signIn());
    // Chosen before the screen is built, as a start restores it.
    model->setMode(SyncMode::ultra);
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    auto* picker = content->findChild<DesktopSpeedPicker*>();
    ASSERT_NE(picker, nullptr);
    QAbstractButton* stop = findButton(content, "Stop");
    QAbstractButton* regular = picker->segment(SyncMode::regular);
    QAbstractButton* ultra = picker->segment(SyncMode::ultra);

    // Where Tab from "Stop", and Backtab from the stop after the picker, land.
    using Landings = std::pair<QWidget*, QWidget*>;
    auto enter = [&] {
        stop->setFocus(Qt::TabFocusReason);
        QTest::keyClick(stop, Qt::Key_Tab);
        QWidget* byTab = QApplication::focusWidget();
        QTest::keyClick(byTab, Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        return Landings{byTab, QApplication::focusWidget()};
    };
    for (const QSize size : kWindowSizes) {
        harness.window()->resize(size);
        settle();
        EXPECT_EQ(enter(), Landings(ultra, ultra)) << sizeText(size);

        // Regular clicked, then Ultra chosen elsewhere: the focus, unringed,
        // and the Tab stop go to Ultra.
        QTest::mouseClick(regular, Qt::LeftButton);
        ASSERT_EQ(model->mode(), SyncMode::regular);
        model->setMode(SyncMode::ultra);
        settle();
        EXPECT_TRUE(ultra->hasFocus() && ultra->isChecked()) << sizeText(size);
        EXPECT_EQ(enter(), Landings(ultra, ultra)) << sizeText(size);

        // Ultra holding the keyboard's focus, Regular chosen elsewhere.
        ASSERT_TRUE(ultra->hasFocus());
        model->setMode(SyncMode::regular);
        settle();
        EXPECT_TRUE(regular->hasFocus() && regular->isChecked()) << sizeText(size);
        EXPECT_EQ(enter(), Landings(regular, regular)) << sizeText(size);
        model->setMode(SyncMode::ultra);
        settle();
    }
}

TEST(RootView, ControlTakingTheFocusIsScrolledWholeIntoView) {
    WindowHarness harness;
    harness.open();
    DesktopAppModel* model = harness.model();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_TRUE(harness.signIn());
    // A folder and a failed upload: every page is longer than the window
    // and ends in "Retry failed uploads".
    harness.addDocumentsFolder();
    const auto file = harness.backend.insertFile(harness.userId, {{"storage_bucket", "files"},
                                                                  {"storage_key", "k"}, {"path", "a.md"}});
    harness.backend.insertJob(harness.userId, {{"file_id", file["id"]}, {"kind", "ingest"}, {"status", "error"}});
    const auto refresh = model->refreshStatus();
    ASSERT_TRUE(spinUntil([&] { return refresh.isFinished() && !model->failedUploads().empty(); }));

    DesktopSidebarView* sidebar = content->sidebar();
    QAbstractButton* firstInSidebar = sidebar->row(DesktopDestination::overview);
    QAbstractButton* lastInSidebar = findButton(sidebar, "Open dashboard");
    ASSERT_NE(lastInSidebar, nullptr);
    auto wholeInView = [&](QWidget* control) {
        QWidget* viewport = content->scaffold()->viewport();
        return viewport->rect().contains(QRect(control->mapTo(viewport, QPoint(0, 0)), control->size()));
    };
    for (const QSize size : kWindowSizes) {
        harness.window()->resize(size);
        for (DesktopDestination destination : desktop_destination::allCases) {
            content->setSelectedDestination(destination);
            settle();
            QScrollBar* page = content->scaffold()->verticalScrollBar();
            ASSERT_GT(page->maximum(), 0);
            const std::string where =
                sizeText(size) + " " + desktop_destination::rawValue(destination).toStdString();
            for (const bool atBottom : {false, true}) {
                for (const bool forward : {true, false}) {
                    page->setValue(atBottom ? page->maximum() : 0);
                    QAbstractButton* from = forward ? lastInSidebar : firstInSidebar;
                    from->setFocus(Qt::TabFocusReason);
                    QTest::keyClick(from, forward ? Qt::Key_Tab : Qt::Key_Backtab);
                    QWidget* stop = QApplication::focusWidget();
                    ASSERT_TRUE(content->scaffold()->isAncestorOf(stop)) << where;
                    EXPECT_TRUE(wholeInView(stop)) << where << (atBottom ? " bottom " : " top ")
                                                   << (forward ? "Tab" : "Backtab");
                }
            }
            // Given the focus by the program, likewise.
            QAbstractButton* retry = findButton(content->scaffold(), "Retry failed uploads");
            retry->clearFocus();
            page->setValue(0);
            retry->setFocus();
            EXPECT_TRUE(wholeInView(retry)) << where;
        }
    }

    // A click on a segment the page shows in part picks it where it is.
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    QAbstractButton* ultra = content->findChild<DesktopSpeedPicker*>()->segment(SyncMode::ultra);
    QScrollBar* page = content->scaffold()->verticalScrollBar();
    const int viewportHeight = content->scaffold()->viewport()->height();
    page->setValue(page->value() + ultra->mapTo(content->scaffold()->viewport(), QPoint(0, 0)).y() -
                   viewportHeight + ultra->height() / 2);
    const int shown = page->value();
    QTest::mouseClick(ultra, Qt::LeftButton, Qt::NoModifier, QPoint(ultra->width() / 2, 2));
    EXPECT_EQ(model->mode(), SyncMode::ultra);
    EXPECT_EQ(page->value(), shown);
}
