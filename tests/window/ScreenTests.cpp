// The screens and the sidebar follow the model they read: folder lists,
// counts, the speed picker both ways, what shows only when there is
// something to report.
#include <QTest>

#include <gtest/gtest.h>

#include "Screens/ContentView.hpp"
#include "Screens/DesktopScreenParts.hpp"
#include "Screens/DesktopSidebarView.hpp"
#include "Screens/DesktopSyncView.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "window/WindowHarness.hpp"

using namespace tarnwell;
using namespace tarnwell::testing;

namespace {


DesktopFolderBox* folderBox(QWidget* root) { return root->findChild<DesktopFolderBox*>(); }

} // namespace

TEST(Screens, FollowTheModelSignedIn) {
    WindowHarness harness;
    harness.open();
    DesktopAppModel* model = harness.model();
    auto* content = harness.window()->findChild<ContentView*>();
    ASSERT_TRUE(harness.signIn());
    settle();

    // No folders: the overview warns, the sync screen can't start.
    EXPECT_EQ(tileValue(content, "Folders"), "0 folders");
    DesktopCallout* warning = nullptr;
    for (DesktopCallout* callout : content->findChildren<DesktopCallout*>()) {
        if (callout->text().startsWith("No folders are selected yet.")) warning = callout;
    }
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->isVisibleTo(content));
    EXPECT_EQ(warning->kind(), StatusPillKind::warn);
    EXPECT_FALSE(folderBox(content)->isVisibleTo(content));
    EXPECT_EQ(content->findChild<DesktopFailedUploadsCard*>()->isVisibleTo(content), false);

    // The hero's chips, stacked when the row doesn't fit, keep to the leading
    // edge and line up on their right edges.
    QWidget* heroChips = content->findChild<QWidget*>("heroChips");
    ASSERT_NE(heroChips, nullptr);
    const auto chips = heroChips->findChildren<DesktopStatusChip*>();
    ASSERT_EQ(chips.size(), 2);
    const QRect typesChip(chips[0]->mapTo(heroChips, QPoint(0, 0)), chips[0]->size());
    const QRect countChip(chips[1]->mapTo(heroChips, QPoint(0, 0)), chips[1]->size());
    if (countChip.top() > typesChip.top()) {
        EXPECT_EQ(typesChip.left(), 0);
        EXPECT_EQ(countChip.right(), typesChip.right());
    } else {
        EXPECT_EQ(typesChip.left(), 0);
    }
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    EXPECT_FALSE(findButton(content, "Start sync")->isEnabled());
    EXPECT_TRUE(showsLabel(content, "No folders selected yet."));

    // Five folders: all five on the sync screen, the first three on the overview.
    QStringList chosen;
    for (int i = 0; i < 5; ++i) {
        const auto folder = harness.documents.path() / ("source-" + std::to_string(i));
        std::filesystem::create_directories(folder);
        harness.chooser->next = QString::fromStdString(folder.string());
        model->addFolder();
        chosen << harness.chooser->next.value();
    }
    settle();
    EXPECT_TRUE(findButton(content, "Start sync")->isEnabled());
    EXPECT_EQ(folderBox(content)->shownFolders(), chosen);
    EXPECT_EQ(folderBox(content)->ruleCount(), 4);
    EXPECT_EQ(tileValue(content, "Selected folders"), "5 folders");
    EXPECT_TRUE(showsLabel(content->sidebar(), "5 folders"));
    content->setSelectedDestination(DesktopDestination::overview);
    settle();
    EXPECT_EQ(folderBox(content)->shownFolders(), chosen.mid(0, 3));
    EXPECT_EQ(folderBox(content)->ruleCount(), 2);
    EXPECT_EQ(tileDetail(content, "Folders"), "5 folders selected");

    // The speed picker writes the model and shows what the model holds.
    content->setSelectedDestination(DesktopDestination::sync);
    settle();
    auto* picker = content->findChild<DesktopSpeedPicker*>();
    ASSERT_NE(picker, nullptr);
    QTest::mouseClick(picker->segment(SyncMode::ultra), Qt::LeftButton);
    EXPECT_EQ(model->mode(), SyncMode::ultra);
    model->setMode(SyncMode::regular);
    settle();
    EXPECT_TRUE(picker->segment(SyncMode::regular)->isChecked());
    EXPECT_TRUE(showsLabel(content, DesktopSyncView::modeExplanation(SyncMode::regular)));
    EXPECT_EQ(tileValue(content, "Speed profile"), "Regular");

    // Before any remote failure: the activity screen's snapshot is clear.
    content->setSelectedDestination(DesktopDestination::activity);
    settle();
    EXPECT_EQ(tileValue(content, "Retry queue"), "Clear");
    EXPECT_EQ(tileDetail(content, "Retry queue"), "Retry from here when uploads fail.");
    EXPECT_EQ(tileDetail(content, "Ingestion"), "No completed ingest yet");

    // A retry that re-queued nothing still shows the overview's card.
    model->retryFailedUploads();
    ASSERT_TRUE(spinUntil([&] { return model->retryStatus() == "Retried 0 upload(s)."; }));
    content->setSelectedDestination(DesktopDestination::overview);
    settle();
    EXPECT_TRUE(content->findChild<DesktopFailedUploadsCard*>()->isVisibleTo(content));
}
