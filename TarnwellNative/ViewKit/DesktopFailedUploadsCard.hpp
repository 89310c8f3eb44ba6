// The uploads whose hosted ingest job failed, as the model last fetched them,
// the outcome of the last retry, and the button that queues them all again.
#pragma once

#include <QPointer>
#include <QWidget>
#include <vector>

#include "State/SharedModels.hpp"

class QLabel;
class QVBoxLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopButton;
class DesktopCallout;
class DesktopModelObserver;

// One failed upload: the file, the error and when it failed.
class FailedUploadDetailRow : public QWidget {
    Q_OBJECT
public:
    explicit FailedUploadDetailRow(const FailedUploadItem& item, QWidget* parent = nullptr);

    const FailedUploadItem& item() const { return item_; }
    // The first of path, storage key, file id; else "Unknown file".
    static QString fileLine(const FailedUploadItem& item);
    static QString errorLine(const FailedUploadItem& item);
    // "Last failed: " and the time in the user's locale and time zone
    // (medium date, short time), or "Last failed: Unknown time".
    static QString lastFailedLine(const FailedUploadItem& item);

private:
    FailedUploadItem item_;
};

class DesktopFailedUploadsCard : public QWidget {
    Q_OBJECT
public:
    DesktopFailedUploadsCard(DesktopAppModel& model, const QString& title, bool showsRetryButton = true,
                             QWidget* parent = nullptr);

    void refreshNow();

private:
    void refresh();
    void rebuildRows(const std::vector<FailedUploadItem>& items);

    QPointer<DesktopAppModel> model_;
    DesktopButton* retry_ = nullptr;
    DesktopCallout* outcome_;
    QLabel* empty_;
    QWidget* box_;
    QVBoxLayout* rows_;
    std::vector<FailedUploadItem> shown_;
    DesktopModelObserver* observer_;
};

}  // namespace tarnwell
