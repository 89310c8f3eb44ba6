#include "ViewKit/DesktopFailedUploadsCard.hpp"

#include "Model/DesktopPresentationFormatter.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopSelectableText.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {
QString fromStd(const std::optional<std::string>& text) {
    return text ? QString::fromStdString(*text) : QString();
}
}  // namespace

FailedUploadDetailRow::FailedUploadDetailRow(const FailedUploadItem& item, QWidget* parent)
    : QWidget(parent), item_(item) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 12, 0, 12);
    layout->setSpacing(8);
    auto* file = new DesktopSelectableText(fileLine(item), DesktopFonts::bodyMonospaced(), DesktopPalette::text());
    file->setObjectName(QStringLiteral("fileLine"));
    auto* error = new QLabel(errorLine(item));
    error->setObjectName(QStringLiteral("errorLine"));
    styleLabel(error, DesktopFonts::system(14, QFont::Medium), DesktopPalette::danger());
    auto* time = new QLabel(lastFailedLine(item));
    time->setObjectName(QStringLiteral("timeLine"));
    styleLabel(time, DesktopFonts::monospaced(12, QFont::Medium), DesktopPalette::muted());
    layout->addWidget(file);
    layout->addWidget(error);
    layout->addWidget(time);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QString FailedUploadDetailRow::fileLine(const FailedUploadItem& item) {
    if (item.file) {
        if (item.file->path) {
            return QString::fromStdString(*item.file->path);
        }
        if (item.file->storageKey) {
            return QString::fromStdString(*item.file->storageKey);
        }
    }
    if (item.fileID) {
        return QString::fromStdString(*item.fileID);
    }
    return tr("Unknown file");
}

QString FailedUploadDetailRow::errorLine(const FailedUploadItem& item) {
    return item.error ? tr("Error: %1").arg(fromStd(item.error)) : tr("Error: unknown");
}

QString FailedUploadDetailRow::lastFailedLine(const FailedUploadItem& item) {
    if (!item.createdAt) {
        return QStringLiteral("Last failed: Unknown time");
    }
    return QStringLiteral("Last failed: ") + DesktopPresentationFormatter::mediumDateShortTime(*item.createdAt);
}

DesktopFailedUploadsCard::DesktopFailedUploadsCard(DesktopAppModel& model, const QString& title,
                                                   bool showsRetryButton, QWidget* parent)
    : QWidget(parent), model_(&model) {
    auto* layout = DesktopSurface::fillCard(this, 16);

    auto* heading = new QVBoxLayout;
    heading->setSpacing(8);
    auto* kicker = new DesktopKicker(title);
    heading->addWidget(kicker);
    auto* sentence = new QLabel(
        tr("Review the files that need another pass through the hosted upload or ingest pipeline."));
    styleLabel(sentence, DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted());
    heading->addWidget(sentence);
    if (showsRetryButton) {
        retry_ = new DesktopButton(tr("Retry failed uploads"), DesktopButton::Style::secondary);
        retry_->setObjectName(QStringLiteral("retryButton"));
        connect(retry_, &QAbstractButton::clicked, this, [this] {
            if (model_) {
                (void)model_->retryFailedUploads();
            }
        });
    }
    // The heading and the button on one baseline, the default 8 on each
    // side of a spacer of at least 8 between them.
    layout->addLayout(firstBaselineRow(heading, kicker->firstBaseline(), retry_,
                                       retry_ != nullptr ? retry_->firstBaseline() : 0, 8 + 8 + 8));

    outcome_ = new DesktopCallout(QString(), StatusPillKind::accent);
    outcome_->setObjectName(QStringLiteral("retryOutcome"));
    layout->addWidget(outcome_);

    empty_ = new QLabel(tr("No failed uploads right now."));
    empty_->setObjectName(QStringLiteral("emptyText"));
    styleLabel(empty_, DesktopFonts::system(15, QFont::Medium), DesktopPalette::muted());
    layout->addWidget(empty_);

    box_ = new DesktopInnerBox;
    box_->setObjectName(QStringLiteral("rowsBox"));
    rows_ = new QVBoxLayout(box_);
    rows_->setContentsMargins(16, 16, 16, 16);
    rows_->setSpacing(0);
    layout->addWidget(box_);

    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    observer_->watch(&model, &DesktopAppModel::failedUploadsChanged);
    observer_->watch(&model, &DesktopAppModel::retryStatusChanged);
    refresh();
}

void DesktopFailedUploadsCard::refreshNow() { observer_->flush(); }

void DesktopFailedUploadsCard::refresh() {
    if (!model_) {
        return;
    }
    const QString status = model_->retryStatus();
    outcome_->setText(status);
    outcome_->setVisible(!status.isEmpty());

    const std::vector<FailedUploadItem> items = model_->failedUploads();
    if (items != shown_) {
        rebuildRows(items);
        shown_ = items;
    }
    empty_->setVisible(items.empty());
    box_->setVisible(!items.empty());
}

void DesktopFailedUploadsCard::rebuildRows(const std::vector<FailedUploadItem>& items) {
    while (QLayoutItem* child = rows_->takeAt(0)) {
        if (QWidget* widget = child->widget()) {
            delete widget;
        }
        delete child;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        rows_->addWidget(new FailedUploadDetailRow(items[i]));
        if (i + 1 < items.size()) {
            rows_->addWidget(new DesktopRule);
        }
    }
}

}  // namespace tarnwell
