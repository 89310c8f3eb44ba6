// The indexing status, failed uploads and activity console cards against a
// model that talks to the backend emulator.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include "ViewKit/DesktopActivityConsoleCard.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopIndexingStatusCard.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopLogLinesModel.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopProgressIndicator.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopSelectableText.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "support/DesktopModelHarness.hpp"

namespace tarnwell {
namespace {

using testing::DesktopModelHarness;
using testing::waitFor;
using testing::waitUntil;

template <class T>
T* child(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

bool shown(QWidget& root, QWidget* widget) { return widget != nullptr && widget->isVisibleTo(&root); }

DesktopMetricCard* tile(QWidget& card, const QString& title) {
    for (auto* metric : card.findChildren<DesktopMetricCard*>()) {
        if (metric->title() == title) {
            return metric;
        }
    }
    ADD_FAILURE() << "no tile " << title.toStdString();
    return nullptr;
}

TEST(DesktopIndexingStatusCardTest, DeterminateIndeterminateAndIdle) {
    DesktopModelHarness harness;
    DesktopIndexingStatusCard card(*harness.model);
    auto* indicator = child<DesktopProgressIndicator>(card, "indexingIndicator");
    auto* caption = child<DesktopFittedText>(card, "indexingCaption");
    auto reading = DesktopIndexingStatusCard::Reading::of(*harness.model);

    // A known total draws the bar, also once the scan is over.
    for (bool active : {true, false}) {
        reading.progress = IndexingProgressSnapshot{40, 12, active, std::nullopt};
        card.display(reading);
        EXPECT_EQ(indicator->mode(), DesktopProgressIndicator::Mode::determinate);
        EXPECT_DOUBLE_EQ(indicator->fraction(), 0.3);
        EXPECT_EQ(caption->text(), QStringLiteral("12 / 40 files indexed"));
    }
    for (std::optional<std::int64_t> total : {std::optional<std::int64_t>(), std::optional<std::int64_t>(0)}) {
        reading.progress = IndexingProgressSnapshot{total, 3, true, std::nullopt};
        card.display(reading);
        EXPECT_EQ(indicator->mode(), DesktopProgressIndicator::Mode::indeterminate);
        EXPECT_EQ(caption->text(), QStringLiteral("Indexing has started. Waiting for a full scan count."));
        reading.progress.isActive = false;
        card.display(reading);
        EXPECT_EQ(indicator->mode(), DesktopProgressIndicator::Mode::idle);
        EXPECT_EQ(caption->text(), QStringLiteral("Waiting for the next scan or remote ingest snapshot."));
    }
    card.resize(800, 600);
    card.show();
    EXPECT_EQ(indicator->height(), DesktopProgressIndicator::kIdleHeight);
    EXPECT_EQ(indicator->width(), caption->width());
}

TEST(DesktopIndexingStatusCardTest, TilesAndCalloutsFollowTheModel) {
    DesktopModelHarness harness;
    DesktopIndexingStatusCard card(*harness.model);
    card.resize(900, 800);
    card.show();
    // Nothing known yet.
    EXPECT_EQ(tile(card, "Indexed so far")->value(), QStringLiteral("--"));
    EXPECT_EQ(tile(card, "Indexed so far")->detail(), QStringLiteral("No completed ingest yet"));
    EXPECT_EQ(tile(card, "Remaining")->detail(), QStringLiteral("ETA unavailable"));
    EXPECT_EQ(tile(card, "Worker queue")->value(), QStringLiteral("--"));
    EXPECT_EQ(tile(card, "Worker queue")->detail(), QStringLiteral("Running unknown"));
    EXPECT_EQ(tile(card, "Errors")->value(), QStringLiteral("--"));
    EXPECT_EQ(tile(card, "Errors")->detail(), QStringLiteral("No unsupported file warnings"));
    auto* ingestWarning = child<DesktopCallout>(card, "ingestWarning");
    auto* unsupportedWarning = child<DesktopCallout>(card, "unsupportedWarning");
    EXPECT_FALSE(shown(card, ingestWarning));
    EXPECT_FALSE(shown(card, unsupportedWarning));
    // Four tiles of at least 180 side by side in one row.
    EXPECT_EQ(tile(card, "Errors")->geometry().top(), tile(card, "Indexed so far")->geometry().top());

    // Errors on the hosted side: the error callout.
    ASSERT_TRUE(harness.signIn());
    harness.addFailedUpload(std::string("/docs/a.pdf"), "user-x/root-1/a.pdf", std::string("bad pdf"));
    ASSERT_TRUE(waitFor(harness.model->refreshStatus()));
    ASSERT_TRUE(waitUntil([&] { return shown(card, ingestWarning); }));
    EXPECT_EQ(ingestWarning->kind(), StatusPillKind::error);
    EXPECT_EQ(ingestWarning->text(), harness.model->ingestPresentation().text);
    EXPECT_EQ(tile(card, "Errors")->value(), QStringLiteral("1"));
    EXPECT_EQ(tile(card, "Worker queue")->detail(), QStringLiteral("0 currently running"));

    // Unsupported files: both callouts, the ingest one first. (A refresh
    // still waiting for its frame would redraw from the model: run it first.)
    card.refreshNow();
    auto reading = DesktopIndexingStatusCard::Reading::of(*harness.model);
    reading.unsupportedFilesCount = 3;
    reading.unsupportedIndicator = QStringLiteral("3 skipped");
    card.display(reading);
    QApplication::processEvents();
    EXPECT_EQ(tile(card, "Errors")->detail(), QStringLiteral("3 unsupported files skipped locally"));
    ASSERT_TRUE(shown(card, unsupportedWarning));
    EXPECT_EQ(unsupportedWarning->kind(), StatusPillKind::warn);
    EXPECT_LT(ingestWarning->y(), unsupportedWarning->y());

    // An active or idle queue warns about nothing.
    reading.ingest = {QStringLiteral("Ingestion: Active (1 running)"), StatusPillKind::ok};
    card.display(reading);
    EXPECT_FALSE(shown(card, ingestWarning));
}

TEST(DesktopFailedUploadsCardTest, RowsRulesFallbacksAndRetry) {
    DesktopModelHarness harness;
    DesktopFailedUploadsCard card(*harness.model, QStringLiteral("Failed uploads"));
    card.resize(900, 600);
    card.show();
    EXPECT_TRUE(shown(card, child<QLabel>(card, "emptyText")));
    EXPECT_FALSE(shown(card, child<QWidget>(card, "rowsBox")));
    EXPECT_FALSE(shown(card, child<QWidget>(card, "retryOutcome")));
    auto* retry = child<DesktopButton>(card, "retryButton");
    EXPECT_TRUE(shown(card, retry));
    // The title and the button's label stand on one baseline.
    auto* kicker = card.findChild<DesktopKicker*>();
    ASSERT_NE(kicker, nullptr);
    EXPECT_NEAR(kicker->mapTo(&card, QPoint(0, kicker->firstBaseline())).y(),
                retry->mapTo(&card, QPoint(0, retry->firstBaseline())).y(), 1);

    ASSERT_TRUE(harness.signIn());
    harness.addFailedUpload(std::string("/docs/report.pdf"), "user-x/root-1/report.pdf", std::string("bad pdf"),
                            "2026-03-01T10:00:00Z");
    harness.addFailedUpload(std::nullopt, "user-x/root-1/notes.md", std::nullopt, "2026-02-01T10:00:00Z");
    harness.addFailedUpload(std::string("/docs/c.txt"), "user-x/root-1/c.txt", std::string("x"), std::nullopt);
    ASSERT_TRUE(waitFor(harness.model->refreshStatus()));
    ASSERT_TRUE(waitUntil([&] { return card.findChildren<FailedUploadDetailRow*>().size() == 3; }));
    auto* box = child<QWidget>(card, "rowsBox");
    EXPECT_TRUE(shown(card, box));
    EXPECT_FALSE(shown(card, child<QLabel>(card, "emptyText")));
    EXPECT_EQ(box->findChildren<DesktopRule*>().size(), 2);

    QStringList files;
    for (auto* row : card.findChildren<FailedUploadDetailRow*>()) {
        files.append(FailedUploadDetailRow::fileLine(row->item()));
    }
    EXPECT_TRUE(files.contains(QStringLiteral("user-x/root-1/notes.md")));
    EXPECT_TRUE(files.contains(QStringLiteral("/docs/report.pdf")));

    // Retry: the model's action, its outcome in the accent callout.
    QTest::mouseClick(retry, Qt::LeftButton);
    auto* outcome = child<DesktopCallout>(card, "retryOutcome");
    ASSERT_TRUE(waitUntil([&] { return shown(card, outcome); }));
    EXPECT_EQ(outcome->text(), harness.model->retryStatus());
    EXPECT_EQ(outcome->kind(), StatusPillKind::accent);
    EXPECT_GE(harness.backend.requestCount("PATCH", "/rest/v1/jobs"), 1u);
    EXPECT_TRUE(waitUntil([&] { return shown(card, child<QLabel>(card, "emptyText")); }));

    DesktopFailedUploadsCard noButton(*harness.model, QStringLiteral("Failed"), false);
    EXPECT_EQ(noButton.findChild<QWidget*>(QStringLiteral("retryButton")), nullptr);
}

TEST(DesktopFailedUploadsCardTest, MissingFieldsHaveFallbacks) {
    FailedUploadItem bare{"job-1", std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    EXPECT_EQ(FailedUploadDetailRow::fileLine(bare), QStringLiteral("Unknown file"));
    EXPECT_EQ(FailedUploadDetailRow::errorLine(bare), QStringLiteral("Error: unknown"));
    EXPECT_EQ(FailedUploadDetailRow::lastFailedLine(bare), QStringLiteral("Last failed: Unknown time"));
    bare.fileID = "file-9";
    EXPECT_EQ(FailedUploadDetailRow::fileLine(bare), QStringLiteral("file-9"));
    bare.error = "Timed out";
    EXPECT_EQ(FailedUploadDetailRow::errorLine(bare), QStringLiteral("Error: Timed out"));
    bare.createdAt = Timestamp(std::chrono::seconds(1'700'000'000));
    const QString line = FailedUploadDetailRow::lastFailedLine(bare);
    EXPECT_TRUE(line.startsWith(QStringLiteral("Last failed: ")));
    EXPECT_TRUE(line.contains(QStringLiteral("2023"))) << line.toStdString();
    EXPECT_FALSE(line.contains(QStringLiteral(":20"))) << "a short time shows no seconds: " << line.toStdString();
}

TEST(DesktopActivityConsoleCardTest, EmptyLimitAndLiveIdle) {
    DesktopModelHarness harness;
    DesktopActivityConsoleCard card(*harness.model, QStringLiteral("Activity stream"), 300);
    card.resize(800, 200);
    card.show();
    EXPECT_TRUE(card.showsEmptyText());
    EXPECT_GE(card.consoleBox()->height(), 300);
    auto* chip = child<DesktopStatusChip>(card, "runStateChip");
    EXPECT_EQ(chip->text(), QStringLiteral("Idle"));
    EXPECT_EQ(chip->kind(), StatusPillKind::muted);

    ASSERT_TRUE(harness.signIn());
    ASSERT_TRUE(waitUntil([&] { return !card.showsEmptyText(); }));
    EXPECT_TRUE(waitUntil([&] { return card.lines()->lines() == harness.model->logLines(); }));

    DesktopActivityConsoleCard none(*harness.model, QStringLiteral("Recent"), 120, 0);
    EXPECT_TRUE(none.showsEmptyText());

    // A sync run: "Live" while running, the tail holds the newest lines.
    testing::TempDir documents;
    documents.write("a.md", "alpha");
    documents.write("b.txt", "beta");
    DesktopActivityConsoleCard tail(*harness.model, QStringLiteral("Recent"), 120, 2);
    ASSERT_TRUE(harness.startSyncing(documents.path()));
    ASSERT_TRUE(waitUntil([&] { return chip->text() == QStringLiteral("Live"); }));
    EXPECT_EQ(chip->kind(), StatusPillKind::ok);
    ASSERT_TRUE(waitUntil([&] { return tail.lines()->lines() == harness.model->logLines().mid(harness.model->logLines().size() - 2); }));
    ASSERT_TRUE(waitFor(harness.model->stopSync()));
    EXPECT_TRUE(waitUntil([&] { return chip->text() == QStringLiteral("Idle"); }));
}

TEST(DesktopActivityConsoleCardTest, StartsAtTheTopAndKeepsItsPlaceAsLinesArrive) {
    DesktopModelHarness harness;
    QStringList log;
    for (int i = 1; i <= 200; ++i) {
        log.append(QStringLiteral("Scanned: %1").arg(i));
    }
    DesktopActivityConsoleCard card(*harness.model, QStringLiteral("Activity stream"), 260);
    card.resize(800, 400);
    card.lines()->setLog(log);
    card.show();
    QApplication::processEvents();
    QScrollBar* bar = card.listView()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), 0);
    bar->setValue(bar->maximum() / 2);
    const int position = bar->value();
    log.append(QStringLiteral("Scanned: 201"));
    log.append(QStringLiteral("Scanned: 201"));
    card.lines()->setLog(log);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), position);
    EXPECT_EQ(card.lines()->rowCount(), 202);

    // The lines scroll through their padding and are cut at the box's
    // border, not inside the padding.
    DesktopConsoleView* view = card.listView();
    QWidget* viewport = view->viewport();
    EXPECT_EQ(viewport->mapTo(card.consoleBox(), QPoint(0, 0)), QPoint(1, 1));
    EXPECT_EQ(viewport->mapTo(card.consoleBox(), QPoint(0, viewport->height())).y(), card.consoleBox()->height() - 1);
    bar->setValue(0);
    EXPECT_DOUBLE_EQ(view->lineRect(0).top(), DesktopConsoleView::kPadding);
    bar->setValue(DesktopConsoleView::kPadding + 4);
    EXPECT_DOUBLE_EQ(view->lineRect(0).top(), -4.0);

    // A drag selects characters of a line; Ctrl+C copies them. A drag across
    // lines takes the end of the first and the start of the last.
    bar->setValue(0);
    QApplication::processEvents();
    auto drag = [&](DesktopConsoleView::Position from, DesktopConsoleView::Position to) {
        QTest::mousePress(viewport, Qt::LeftButton, {}, view->pointOf(from).toPoint());
        QTest::mouseMove(viewport, view->pointOf(to).toPoint());
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, view->pointOf(to).toPoint());
        QTest::keySequence(view, QKeySequence::Copy);
        return QApplication::clipboard()->text();
    };
    EXPECT_EQ(drag({2, 2}, {2, 7}), QStringLiteral("anned"));
    EXPECT_EQ(drag({1, 9}, {2, 4}), QStringLiteral("2\nScan"));
    EXPECT_EQ(drag({2, 4}, {1, 9}), QStringLiteral("2\nScan"));
    // A double-click takes the whole line.
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, view->pointOf({3, 3}).toPoint());
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, view->pointOf({3, 3}).toPoint());
    EXPECT_EQ(view->selectedText(), QStringLiteral("Scanned: 4"));
    // What the mouse selected is the primary selection too, where there is one.
    if (QApplication::clipboard()->supportsSelection()) {
        EXPECT_EQ(QApplication::clipboard()->text(QClipboard::Selection), QStringLiteral("Scanned: 4"));
    }

    // The selection shows in the same colour as a selectable text's.
    DesktopSelectableText text(QStringLiteral("Scanned: 4"), DesktopFonts::bodyMonospaced(), DesktopPalette::text());
    text.resize(200, text.heightForWidth(200));
    text.selectAll();
    const QColor textSelection = text.grab().toImage().pixelColor(0, 0);
    const QRectF line = view->lineRect(3);
    const QColor consoleSelection = viewport->grab().toImage().pixelColor(line.topLeft().toPoint() + QPoint(1, 0));
    EXPECT_EQ(textSelection.rgb(), text.palette().color(QPalette::Highlight).rgb());
    EXPECT_EQ(consoleSelection.rgb(), textSelection.rgb()) << consoleSelection.name().toStdString();
}

}  // namespace
}  // namespace tarnwell
