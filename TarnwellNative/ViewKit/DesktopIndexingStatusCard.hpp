// How far the local scan has come and how the hosted ingest queue stands: a
// progress indicator with its caption, four metric tiles and up to two
// warning callouts. Reads the model only; calls nothing.
#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>

#include "Model/StatusPillPresentation.hpp"
#include "State/SharedModels.hpp"

namespace tarnwell {

class DesktopAppModel;
class DesktopCallout;
class DesktopFittedText;
class DesktopMetricCard;
class DesktopModelObserver;
class DesktopProgressIndicator;

class DesktopIndexingStatusCard : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMetricMinimumWidth = 180;
    static constexpr int kMetricSpacing = 14;

    // The model fields the card shows, read in one go.
    struct Reading {
        IndexingProgressSnapshot progress;
        StatusPillPresentation ingest;
        std::optional<QString> unsupportedIndicator;
        qint64 unsupportedFilesCount = 0;
        QString ingestLast, indexRemaining, indexEta, ingestQueued, ingestRunning, ingestErrors;

        static Reading of(const DesktopAppModel& model);
    };

    explicit DesktopIndexingStatusCard(DesktopAppModel& model, QWidget* parent = nullptr);

    void refreshNow();
    // Draws the card for `reading`; the model's next change redraws it from
    // the model again.
    void display(const Reading& reading);

private:
    void refresh();

    QPointer<DesktopAppModel> model_;
    DesktopProgressIndicator* indicator_;
    DesktopFittedText* caption_;
    DesktopMetricCard* indexed_;
    DesktopMetricCard* remaining_;
    DesktopMetricCard* queue_;
    DesktopMetricCard* errors_;
    DesktopCallout* ingestWarning_;
    DesktopCallout* unsupportedWarning_;
    DesktopModelObserver* observer_;
};

}  // namespace tarnwell
