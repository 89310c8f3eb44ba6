#include "ViewKit/DesktopIndexingStatusCard.hpp"

#include <QLabel>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopAdaptiveGridLayout.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopProgressIndicator.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {
const QString kUnknown = QStringLiteral("--");
}

DesktopIndexingStatusCard::DesktopIndexingStatusCard(DesktopAppModel& model, QWidget* parent)
    : QWidget(parent), model_(&model) {
    auto* layout = DesktopSurface::fillCard(this, 18);

    auto* heading = new QVBoxLayout;
    heading->setSpacing(8);
    heading->addWidget(new DesktopKicker(QStringLiteral("Indexing status")));
    auto* sentence = new QLabel(
        tr("Track whether local uploads, hosted ingestion, and the worker handoff are staying healthy."));
    styleLabel(sentence, DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted());
    heading->addWidget(sentence);
    layout->addLayout(heading);

    auto* progress = new QVBoxLayout;
    progress->setSpacing(10);
    indicator_ = new DesktopProgressIndicator;
    indicator_->setObjectName(QStringLiteral("indexingIndicator"));
    // The caption changes with every scanned file: it is laid out again only
    // when it needs another height.
    caption_ = new DesktopFittedText(DesktopFonts::monospaced(12, QFont::Medium), DesktopFittedText::kUnlimitedLines, 1.0);
    caption_->setObjectName(QStringLiteral("indexingCaption"));
    QPalette captionColours = caption_->palette();
    captionColours.setColor(QPalette::WindowText, DesktopPalette::muted());
    caption_->setPalette(captionColours);
    progress->addWidget(indicator_);
    progress->addWidget(caption_);
    layout->addLayout(progress);

    auto* tiles = new QWidget;
    auto* grid = new DesktopAdaptiveGridLayout(kMetricMinimumWidth, kMetricSpacing, tiles);
    indexed_ = new DesktopMetricCard(QStringLiteral("Indexed so far"), kUnknown, std::nullopt);
    remaining_ = new DesktopMetricCard(QStringLiteral("Remaining"), kUnknown, std::nullopt);
    queue_ = new DesktopMetricCard(QStringLiteral("Worker queue"), kUnknown, std::nullopt);
    errors_ = new DesktopMetricCard(QStringLiteral("Errors"), kUnknown, std::nullopt);
    for (DesktopMetricCard* tile : {indexed_, remaining_, queue_, errors_}) {
        grid->addWidget(tile);
    }
    QSizePolicy tilesPolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    tilesPolicy.setHeightForWidth(true);
    tiles->setSizePolicy(tilesPolicy);
    layout->addWidget(tiles);

    ingestWarning_ = new DesktopCallout(QString(), StatusPillKind::warn);
    ingestWarning_->setObjectName(QStringLiteral("ingestWarning"));
    unsupportedWarning_ = new DesktopCallout(QString(), StatusPillKind::warn);
    unsupportedWarning_->setObjectName(QStringLiteral("unsupportedWarning"));
    layout->addWidget(ingestWarning_);
    layout->addWidget(unsupportedWarning_);

    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    observer_->watch(&model, &DesktopAppModel::indexingProgressChanged);
    observer_->watch(&model, &DesktopAppModel::ingestStatusChanged);
    observer_->watch(&model, &DesktopAppModel::unsupportedFilesCountChanged);
    refresh();
}

void DesktopIndexingStatusCard::refreshNow() { observer_->flush(); }

DesktopIndexingStatusCard::Reading DesktopIndexingStatusCard::Reading::of(const DesktopAppModel& model) {
    Reading reading;
    reading.progress = model.indexingProgress();
    reading.ingest = model.ingestPresentation();
    reading.unsupportedIndicator = model.unsupportedIndicatorText();
    reading.unsupportedFilesCount = model.unsupportedFilesCount();
    reading.ingestLast = model.ingestLastText();
    reading.indexRemaining = model.indexRemainingText();
    reading.indexEta = model.indexEtaText();
    reading.ingestQueued = model.ingestQueuedText();
    reading.ingestRunning = model.ingestRunningText();
    reading.ingestErrors = model.ingestErrorsText();
    return reading;
}

void DesktopIndexingStatusCard::refresh() {
    if (model_) {
        display(Reading::of(*model_));
    }
}

void DesktopIndexingStatusCard::display(const Reading& reading) {
    const IndexingProgressSnapshot& progress = reading.progress;
    const QString indexedText = DesktopPresentationFormatter::indexedFilesText(progress);
    if (const auto fraction = DesktopPresentationFormatter::indexingFraction(progress)) {
        indicator_->setDeterminate(*fraction);
        caption_->setText(tr("%1 files indexed").arg(indexedText));
    } else if (progress.isActive) {
        indicator_->setIndeterminate();
        caption_->setText(tr("Indexing has started. Waiting for a full scan count."));
    } else {
        indicator_->setIdle();
        caption_->setText(tr("Waiting for the next scan or remote ingest snapshot."));
    }

    indexed_->setValue(indexedText);
    indexed_->setDetail(reading.ingestLast == kUnknown ? QStringLiteral("No completed ingest yet")
                                                       : QStringLiteral("Last ingest ") + reading.ingestLast);
    remaining_->setValue(reading.indexRemaining);
    remaining_->setDetail(reading.indexEta == kUnknown ? QStringLiteral("ETA unavailable")
                                                       : QStringLiteral("ETA ") + reading.indexEta);
    queue_->setValue(reading.ingestQueued);
    queue_->setDetail(reading.ingestRunning == kUnknown ? QStringLiteral("Running unknown")
                                                        : reading.ingestRunning + QStringLiteral(" currently running"));
    errors_->setValue(reading.ingestErrors);
    errors_->setDetail(reading.unsupportedFilesCount <= 0
                           ? QStringLiteral("No unsupported file warnings")
                           : QString::number(reading.unsupportedFilesCount) +
                                 QStringLiteral(" unsupported files skipped locally"));

    const bool warns = reading.ingest.kind == StatusPillKind::warn || reading.ingest.kind == StatusPillKind::error;
    if (warns) {
        ingestWarning_->setText(reading.ingest.text);
        ingestWarning_->setKind(reading.ingest.kind);
    }
    ingestWarning_->setVisible(warns);
    unsupportedWarning_->setText(reading.unsupportedIndicator.value_or(QString()));
    unsupportedWarning_->setVisible(reading.unsupportedIndicator.has_value());
}

}  // namespace tarnwell
