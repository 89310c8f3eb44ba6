// The whole window against the loopback backend: real model, real views,
// input through the widgets a user would touch.
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include "Screens/ContentView.hpp"
#include "Screens/DesktopInitializationFailureView.hpp"
#include "Screens/DesktopSidebarView.hpp"
#include "ViewKit/DesktopActivityConsoleCard.hpp"
#include "ViewKit/DesktopAuthCard.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopIndexingStatusCard.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "window/WindowHarness.hpp"

using namespace tarnwell;
using namespace tarnwell::testing;

namespace {

ContentView* contentOf(QWidget* window) { return window->findChild<ContentView*>(); }


void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
}

void showScreen(ContentView* content, DesktopDestination destination) {
    click(content->sidebar()->row(destination));
    ASSERT_TRUE(spinUntil([&] { return content->scaffold()->destination() == destination; }));
    settle();
}

QStringList consoleLines(QWidget* root) {
    QStringList lines;
    auto* console = root->findChild<DesktopActivityConsoleCard*>();
    if (!console) return lines;
    QAbstractItemModel* model = console->listView()->model();
    for (int row = 0; row < model->rowCount(); ++row) lines << model->index(row, 0).data().toString();
    return lines;
}

} // namespace

TEST(WindowEndToEnd, SignInSyncFailRetryReplaceAndSignOut) {
    WindowHarness harness;
    harness.documents.write("notes/plan.md", "# plan\n");
    harness.documents.write("report.txt", "quarterly figures\n");
    harness.documents.write("broken.csv", "a,b\n1,2\n");
    harness.documents.write("tool.exe", "MZ");
    harness.open();
    DesktopAppModel* model = harness.model();
    ASSERT_NE(model, nullptr);
    QWidget* window = harness.window();
    EXPECT_EQ(window->windowTitle(), "Tarnwell");
    EXPECT_EQ(window->size(), QSize(1280, 860));
    ContentView* content = contentOf(window);
    ASSERT_NE(content, nullptr);
    ASSERT_TRUE(spinUntil([&] { return model->didBootstrap(); }));

    // Sign in through the card on the overview.
    auto* card = window->findChild<DesktopAuthCard*>();
    ASSERT_NE(card, nullptr);
    QLineEdit* emailField = nullptr;
    QLineEdit* passwordField = nullptr;
    for (QLineEdit* field : card->findChildren<QLineEdit*>()) {
        (field->echoMode() == QLineEdit::Password ? passwordField : emailField) = field;
    }
    ASSERT_TRUE(emailField && passwordField);
    QTest::keyClicks(emailField, WindowHarness::email);
    QTest::keyClicks(passwordField, WindowHarness::password);
    click(findButton(card, "Log in"));
    ASSERT_TRUE(spinUntil([&] { return model->currentUser().has_value(); }));
    settle();
    EXPECT_TRUE(findButton(content->scaffold(), "Sign out"));
    EXPECT_EQ(window->findChild<DesktopAuthCard*>(), nullptr);

    // Choose the folder and start syncing from the sync setup screen.
    showScreen(content, DesktopDestination::sync);
    harness.chooser->next = QString::fromStdString(harness.documents.path().string());
    click(findButton(content, "Add folder..."));
    settle();
    ASSERT_EQ(model->folders().size(), 1);
    EXPECT_EQ(tileValue(content, "Selected folders"), "1 folder");
    click(findButton(content, "Ultra"));
    EXPECT_EQ(model->mode(), SyncMode::ultra);
    click(findButton(content, "Start sync"));
    ASSERT_TRUE(spinUntil([&] { return model->isRunning(); }, 60000));
    settle();
    auto* status = content->findChild<DesktopCallout*>("syncStatusCallout");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(), "Running");
    EXPECT_EQ(status->kind(), StatusPillKind::ok);
    EXPECT_EQ(tileValue(content, "Indexed so far"), "3 / 3");
    EXPECT_EQ(harness.backend.objectCount(), 3u);

    // The worker fails one of the three ingests; a refresh lists it.
    std::string failedKey;
    std::string failedPath;
    for (const auto& file : harness.backend.files()) {
        if (file["path"] == "broken.csv") {
            failedKey = file["storage_key"];
            failedPath = file["path"];
        }
    }
    ASSERT_FALSE(failedKey.empty()) << harness.backend.files().front().dump();
    harness.backend.failIngestForKey(failedKey, "Parser could not read the table");
    EXPECT_EQ(harness.backend.runWorker(), 3);
    showScreen(content, DesktopDestination::activity);
    click(findButton(content->scaffold(), "Refresh"));
    ASSERT_TRUE(spinUntil([&] { return model->failedUploads().size() == 1; }));
    settle();
    const auto rows = content->findChildren<FailedUploadDetailRow*>();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(FailedUploadDetailRow::fileLine(rows.front()->item()), QString::fromStdString(failedPath));
    EXPECT_EQ(tileValue(content, "Retry queue"), "1 item(s)");
    const QStringList lines = consoleLines(content);
    EXPECT_TRUE(lines.contains("Scanned: 3")) << lines.join('\n').toStdString();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QString& l) { return l.startsWith("Summary: "); }));

    click(findButton(content, "Retry failed uploads"));
    ASSERT_TRUE(spinUntil([&] { return model->retryStatus() == "Retried 1 upload(s)."; }));
    settle();
    EXPECT_EQ(tileDetail(content, "Retry queue"), "Retried 1 upload(s).");

    // Replacing the selection asks first; dismissing the question keeps it.
    showScreen(content, DesktopDestination::sync);
    const QStringList chosen = model->folders();
    click(findButton(content, "Use full disk"));
    ASSERT_TRUE(spinUntil([&] { return content->folderReplacementAlert() != nullptr; }));
    QMessageBox* alert = content->folderReplacementAlert();
    EXPECT_EQ(alert->text(), "Replace folder selection with full disk?");
    QTest::keyClick(alert, Qt::Key_Escape);
    ASSERT_TRUE(spinUntil([&] { return content->folderReplacementAlert() == nullptr; }));
    EXPECT_EQ(model->folders(), chosen);
    EXPECT_FALSE(model->pendingFolderSelectionConfirmation().has_value());

    click(findButton(content, "Use Home"));
    ASSERT_TRUE(spinUntil([&] { return content->folderReplacementAlert() != nullptr; }));
    alert = content->folderReplacementAlert();
    EXPECT_EQ(alert->text(), "Replace folder selection with Home?");
    click(findButton(alert, "Use Home"));
    ASSERT_TRUE(spinUntil([&] { return content->folderReplacementAlert() == nullptr; }));
    settle();
    EXPECT_EQ(model->folders(), QStringList{model->homeFolder()});
    EXPECT_EQ(tileDetail(content, "Selected folders"), "Home (all folders) - " + model->homeFolder());
    EXPECT_FALSE(model->pendingFolderSelectionConfirmation().has_value());

    // Signing out brings back the signed-out header and account card.
    click(findButton(content->scaffold(), "Sign out"));
    ASSERT_TRUE(spinUntil([&] { return !model->currentUser().has_value(); }));
    settle();
    EXPECT_EQ(findButton(content->scaffold(), "Sign out"), nullptr);
    EXPECT_EQ(findButton(content->scaffold(), "Refresh"), nullptr);
    EXPECT_NE(findButton(content->scaffold(), "Open dashboard"), nullptr);
    EXPECT_TRUE(showsLabel(content->sidebar(), "Not signed in"));
    EXPECT_NE(window->findChild<DesktopAuthCard*>(), nullptr);
}

TEST(WindowEndToEnd, UnreadableStateDatabaseShowsTheFailureScreen) {
    WindowHarness harness;
    harness.state.write("state.sqlite3", std::string(4096, 'x') + "this is not sqlite");
    harness.open();
    EXPECT_EQ(harness.model(), nullptr);
    QWidget* window = harness.window();
    EXPECT_EQ(contentOf(window), nullptr);
    auto* failure = window->findChild<DesktopInitializationFailureView*>();
    ASSERT_NE(failure, nullptr);
    EXPECT_TRUE(failure->errorText().contains("file is not a database")) << failure->errorText().toStdString();
    EXPECT_TRUE(showsLabel(failure, failure->errorText()));
    EXPECT_TRUE(showsLabel(failure, "Native app initialization failed."));
    EXPECT_GE(failure->minimumWidth(), 640);
    EXPECT_GE(failure->minimumHeight(), 320);
}
