#include "RenderScenes.hpp"
#include "RenderWindow.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>
#include <cstdio>
#include <fstream>

#include "ViewKit/DesktopActivityConsoleCard.hpp"
#include "ViewKit/DesktopAuthCard.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopIndexingStatusCard.hpp"
#include "ViewKit/DesktopInputField.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"
#include "ViewKit/FlowLayout.hpp"
#include "support/DesktopModelHarness.hpp"

namespace tarnwell::render {

using testing::DesktopModelHarness;
using testing::waitFor;
using testing::waitUntil;

namespace {
using WidgetPtr = std::unique_ptr<QWidget>;

DesktopAppModel& modelOf(RenderContext& context) { return *context.harness.model; }

// ---- components -------------------------------------------------------

WidgetPtr componentsScene(RenderContext&) {
    auto sheet = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(sheet.get());
    layout->setSpacing(18);

    layout->addWidget(new DesktopKicker(QStringLiteral("Buttons and fields")));
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addWidget(new DesktopButton(QStringLiteral("Start sync"), DesktopButton::Style::primary));
    buttons->addWidget(new DesktopButton(QStringLiteral("Stop"), DesktopButton::Style::secondary));
    auto* disabled = new DesktopButton(QStringLiteral("Disabled looks the same"), DesktopButton::Style::primary);
    disabled->setEnabled(false);
    buttons->addWidget(disabled);
    auto* field = new DesktopInputField;
    field->setPlaceholderText(QStringLiteral("you@example.com"));
    buttons->addWidget(field, 1);
    layout->addLayout(buttons);
    layout->addWidget(new DesktopRule);

    layout->addWidget(new DesktopKicker(QStringLiteral("Status chips")));
    auto* chips = new QHBoxLayout;
    chips->setSpacing(10);
    const std::vector<std::pair<QString, StatusPillKind>> kinds{
        {QStringLiteral("Required"), StatusPillKind::accent},
        {QStringLiteral("Running"), StatusPillKind::ok},
        {QStringLiteral("Ingestion: Worker not running (4 queued, 12m)"), StatusPillKind::warn},
        {QStringLiteral("Ingestion: Errors (3)"), StatusPillKind::error},
        {QStringLiteral("Stopped"), StatusPillKind::muted}};
    for (const auto& [text, kind] : kinds) {
        chips->addWidget(new DesktopStatusChip(text, kind));
    }
    chips->addStretch(1);
    layout->addLayout(chips);

    layout->addWidget(new DesktopKicker(QStringLiteral("Callouts")));
    for (const auto& [text, kind] : kinds) {
        layout->addWidget(new DesktopCallout(text + QStringLiteral(": a sentence that explains the state."), kind));
    }

    layout->addWidget(new DesktopKicker(QStringLiteral("Metric cards")));
    auto* metrics = new QHBoxLayout;
    metrics->setSpacing(14);
    metrics->addWidget(new DesktopMetricCard(QStringLiteral("Indexed so far"), QStringLiteral("12 / 40"),
                                             QStringLiteral("Last ingest Dec 8, 2026 at 3:04 PM")));
    metrics->addWidget(new DesktopMetricCard(QStringLiteral("No detail"), QStringLiteral("--"), std::nullopt));
    metrics->addWidget(new DesktopMetricCard(
        QStringLiteral("Long value"),
        QStringLiteral("A value long enough to need three lines and then some more words to shrink"),
        QStringLiteral("Shrinks to 84 % before eliding")));
    layout->addLayout(metrics);

    layout->addWidget(new DesktopKicker(QStringLiteral("Surface tones")));
    auto* tones = new QHBoxLayout;
    tones->setSpacing(14);
    const std::vector<std::pair<QString, DesktopSurfaceTone>> surfaceTones{
        {QStringLiteral("page"), DesktopSurfaceTone::page},
        {QStringLiteral("surface"), DesktopSurfaceTone::surface},
        {QStringLiteral("strong"), DesktopSurfaceTone::strong},
        {QStringLiteral("accent"), DesktopSurfaceTone::accent}};
    for (const auto& [name, tone] : surfaceTones) {
        auto* surface = new DesktopSurface(tone);
        surface->setContent(new QLabel(name));
        tones->addWidget(surface);
    }
    layout->addLayout(tones);

    layout->addWidget(new DesktopKicker(QStringLiteral("Flow layout: row, then column when narrow")));
    auto* flows = new QHBoxLayout;
    for (int width : {520, 200}) {
        auto* host = new QWidget;
        auto* flow = new FlowLayout(10, host);
        flow->addWidget(new DesktopStatusChip(QStringLiteral("Running"), StatusPillKind::ok));
        flow->addWidget(new DesktopStatusChip(QStringLiteral("Ingestion: Idle"), StatusPillKind::muted));
        flow->addWidget(new DesktopStatusChip(QStringLiteral("Required"), StatusPillKind::accent));
        host->setFixedWidth(width);
        flows->addWidget(host, 0, Qt::AlignTop);
    }
    flows->addStretch(1);
    layout->addLayout(flows);
    return sheet;
}

// ---- signed out -------------------------------------------------------

WidgetPtr scaffoldSignedOut(RenderContext& context) {
    return std::make_unique<DesktopDetailScaffold>(modelOf(context), DesktopDestination::overview,
                                                   new DesktopAuthCard(modelOf(context)));
}

WidgetPtr authSignedOut(RenderContext& context) {
    return std::make_unique<DesktopAuthCard>(modelOf(context));
}

WidgetPtr authFailed(RenderContext& context) {
    DesktopAppModel& model = modelOf(context);
    model.setEmail(QString::fromLatin1(DesktopModelHarness::kEmail));
    model.setPassword(QStringLiteral("not-the-password"));
    waitFor(model.login());
    return std::make_unique<DesktopAuthCard>(model);
}

WidgetPtr indexingIdle(RenderContext& context) {
    return std::make_unique<DesktopIndexingStatusCard>(modelOf(context));
}

WidgetPtr consoleEmpty(RenderContext& context) {
    return std::make_unique<DesktopActivityConsoleCard>(modelOf(context));
}

WidgetPtr failedUploadsEmpty(RenderContext& context) {
    return std::make_unique<DesktopFailedUploadsCard>(modelOf(context), QStringLiteral("Failed uploads"));
}

// ---- signed in --------------------------------------------------------

WidgetPtr scaffoldSignedIn(RenderContext& context) {
    context.harness.signIn();
    DesktopAppModel& model = modelOf(context);
    return std::make_unique<DesktopDetailScaffold>(model, DesktopDestination::activity,
                                                   new DesktopIndexingStatusCard(model));
}

WidgetPtr scaffoldNarrow(RenderContext& context) {
    DesktopAppModel& model = modelOf(context);
    return std::make_unique<DesktopDetailScaffold>(model, DesktopDestination::sync, new QWidget);
}

WidgetPtr failedUploadsRows(RenderContext& context) {
    auto& harness = context.harness;
    harness.addFailedUpload(std::string("/Users/ada/Documents/Reports/2026/quarterly-review-final-v3.pdf"),
                            "user-x/root-1/Reports/2026/quarterly-review-final-v3.pdf",
                            std::string("Could not extract text from the PDF"), "2026-12-08T14:04:00Z");
    harness.addFailedUpload(std::nullopt, "user-x/root-1/notes/meeting.md", std::nullopt, "2026-12-07T09:30:00Z");
    harness.addFailedUpload(std::string("/Users/ada/Documents/a-very-long-folder-name-without-any-spaces-at-all/"
                                        "and-an-even-longer-file-name-that-has-to-wrap-somewhere.docx"),
                            "user-x/root-1/long.docx", std::string("Timed out"));
    waitFor(harness.model->refreshStatus());
    return std::make_unique<DesktopFailedUploadsCard>(modelOf(context), QStringLiteral("Failed uploads"));
}

WidgetPtr failedUploadsRetried(RenderContext& context) {
    DesktopAppModel& model = modelOf(context);
    context.harness.backend.setWorkerMode(testing::WorkerMode::Off);
    waitFor(model.retryFailedUploads());
    return std::make_unique<DesktopFailedUploadsCard>(model, QStringLiteral("Failed uploads"));
}

WidgetPtr indexingIndeterminate(RenderContext& context) {
    auto card = std::make_unique<DesktopIndexingStatusCard>(modelOf(context));
    auto reading = DesktopIndexingStatusCard::Reading::of(modelOf(context));
    reading.progress = IndexingProgressSnapshot{0, 0, true, std::chrono::system_clock::now()};
    card->display(reading);
    return card;
}

WidgetPtr indexingDeterminateWithWarnings(RenderContext& context) {
    auto card = std::make_unique<DesktopIndexingStatusCard>(modelOf(context));
    auto reading = DesktopIndexingStatusCard::Reading::of(modelOf(context));
    reading.progress = IndexingProgressSnapshot{40, 12, true, std::chrono::system_clock::now()};
    reading.ingest = {QStringLiteral("Ingestion: Worker not running (4 queued, 12m)"), StatusPillKind::warn};
    reading.unsupportedFilesCount = 3;
    reading.unsupportedIndicator =
        QStringLiteral("Unsupported file types skipped: 3. See Activity for details.");
    card->display(reading);
    return card;
}

// ---- syncing ----------------------------------------------------------

WidgetPtr indexingAfterSync(RenderContext& context) {
    context.harness.backend.setWorkerMode(testing::WorkerMode::Done);
    context.harness.startSyncing(context.documents);
    context.harness.backend.runWorker();
    waitFor(modelOf(context).refreshStatus());
    return std::make_unique<DesktopIndexingStatusCard>(modelOf(context));
}

WidgetPtr scaffoldRunning(RenderContext& context) {
    DesktopAppModel& model = modelOf(context);
    return std::make_unique<DesktopDetailScaffold>(model, DesktopDestination::activity,
                                                   new DesktopActivityConsoleCard(model, QStringLiteral("Activity stream"), 360));
}

WidgetPtr consoleFull(RenderContext& context) {
    return std::make_unique<DesktopActivityConsoleCard>(modelOf(context));
}

WidgetPtr consoleTail(RenderContext& context) {
    return std::make_unique<DesktopActivityConsoleCard>(modelOf(context), QStringLiteral("Recent activity"), 200, 4);
}

}  // namespace

std::vector<Scene> viewKitScenes() {
    return {
        {QStringLiteral("components"), 1100, componentsScene},
        {QStringLiteral("scaffold-signed-out"), 1100, scaffoldSignedOut},
        {QStringLiteral("auth-signed-out"), 900, authSignedOut},
        {QStringLiteral("auth-failed"), 900, authFailed},
        {QStringLiteral("indexing-idle"), 900, indexingIdle},
        {QStringLiteral("console-empty"), 900, consoleEmpty},
        {QStringLiteral("failed-uploads-empty"), 900, failedUploadsEmpty},
        {QStringLiteral("scaffold-signed-in"), 1100, scaffoldSignedIn},
        {QStringLiteral("scaffold-narrow"), 760, scaffoldNarrow},
        {QStringLiteral("failed-uploads-rows"), 900, failedUploadsRows},
        {QStringLiteral("failed-uploads-retried"), 900, failedUploadsRetried},
        {QStringLiteral("indexing-indeterminate"), 900, indexingIndeterminate},
        {QStringLiteral("indexing-determinate-warnings"), 900, indexingDeterminateWithWarnings},
        {QStringLiteral("indexing-after-sync"), 900, indexingAfterSync},
        {QStringLiteral("scaffold-running"), 1100, scaffoldRunning},
        {QStringLiteral("console-full"), 900, consoleFull},
        {QStringLiteral("console-tail"), 900, consoleTail},
    };
}

bool renderToPNG(QWidget& widget, int width, const QString& path) {
    QWidget page;
    QPalette colours = page.palette();
    colours.setColor(QPalette::Window, DesktopPalette::page());
    page.setPalette(colours);
    page.setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(&page);
    layout->setContentsMargins(24, 24, 24, 24);
    widget.setParent(&page);
    layout->addWidget(&widget);
    page.setFixedWidth(width);
    page.show();
    QApplication::processEvents();
    // A scroll area sizes to its content's height.
    int height = layout->hasHeightForWidth() ? layout->heightForWidth(width) : page.sizeHint().height();
    if (auto* scroll = qobject_cast<QAbstractScrollArea*>(&widget)) {
        if (auto* area = qobject_cast<QScrollArea*>(scroll); area && area->widget()) {
            QWidget* content = area->widget();
            const int inner = width - 48;
            const int contentHeight = content->hasHeightForWidth() ? content->heightForWidth(inner)
                                                                   : content->sizeHint().height();
            height = contentHeight + 48;
        }
    }
    page.setFixedHeight(std::max(height, 80));
    QApplication::processEvents();
    // Let coalesced refreshes land and the layout settle.
    testing::waitUntil([] { return false; }, 80);
    const bool saved = page.grab().save(path, "PNG");
    widget.setParent(nullptr);
    return saved;
}

int renderScenes(const std::vector<Scene>& scenes, const QDir& output, const QStringList& only) {
    DesktopModelHarness harness;
    testing::TempDir documents;
    documents.write("Reports/summary.md", "# Summary\n\nQuarterly numbers.\n");
    documents.write("Reports/numbers.csv", "a,b\n1,2\n");
    documents.write("notes.txt", "Remember the milk.\n");
    documents.write("draft.pdf", "%PDF-1.4\n%fake\n");
    documents.write("photo.png", "not a document");
    RenderContext context{harness, documents.path()};
    int failures = 0;
    for (const Scene& scene : scenes) {
        std::unique_ptr<QWidget> widget = scene.build(context);
        if (!only.isEmpty() && !only.contains(scene.name)) {
            continue;
        }
        const QString path = output.filePath(scene.name + QStringLiteral(".png"));
        if (renderToPNG(*widget, scene.width, path)) {
            std::printf("%s\n", qPrintable(path));
        } else {
            std::fprintf(stderr, "failed to write %s\n", qPrintable(path));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

int renderAll(const QDir& output, const QStringList& only) {
    const int parts = renderScenes(viewKitScenes(), output, only);
    const int window = renderWindowScenes(output, only);
    return parts != 0 ? parts : window;
}

}  // namespace tarnwell::render
