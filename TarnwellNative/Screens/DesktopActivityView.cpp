#include "Screens/DesktopActivityView.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "Screens/DesktopScreenParts.hpp"
#include "ViewKit/DesktopActivityConsoleCard.hpp"
#include "ViewKit/DesktopAuthCard.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

using screen_parts::holder;
using screen_parts::label;

DesktopActivityView::DesktopActivityView(DesktopAppModel& model, QWidget* parent)
    : DesktopScreenView(model, QStringLiteral("activityScreen"),
                        {&DesktopAppModel::currentUserChanged,
                         &DesktopAppModel::ingestStatusChanged,
                         &DesktopAppModel::failedUploadsChanged,
                         &DesktopAppModel::retryStatusChanged},
                        parent) {
    refresh();
}

void DesktopActivityView::build(bool signedIn) {
    screen_parts::clear(body_);
    ingestionTile_ = retryTile_ = nullptr;
    builtSignedIn_ = signedIn;
    DesktopAppModel& model = *model_;

    if (!signedIn) {
        body_->addWidget(new DesktopAuthCard(model));
        screen_parts::signedOutPanel(body_, QStringLiteral("Activity"),
                                     tr("Activity appears after the app is connected"),
                                     tr("The console, retry queue, and ingest warnings all light up once this "
                                        "computer is signed in and scanning real folders."));
        return;
    }

    body_->addWidget(new DesktopActivityConsoleCard(model, QStringLiteral("Activity stream"), 360, std::nullopt));

    auto* row = new QHBoxLayout;
    row->setSpacing(16);
    auto* failed = new DesktopFailedUploadsCard(model, QStringLiteral("Recent failed uploads"), true);

    auto* snapshot = new DesktopSurface(DesktopSurfaceTone::strong);
    snapshot->setObjectName(QStringLiteral("remoteSnapshot"));
    auto* column = new QVBoxLayout;
    column->setSpacing(16);
    column->addWidget(new DesktopKicker(QStringLiteral("Remote snapshot")));
    column->addWidget(label(tr("A quick cross-check of what the hosted side thinks is happening with this account."),
                            DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted()));
    ingestionTile_ = new DesktopMetricCard(QStringLiteral("Ingestion"), QString(), QString());
    retryTile_ = new DesktopMetricCard(QStringLiteral("Retry queue"), QString(), QString());
    column->addWidget(ingestionTile_);
    column->addWidget(retryTile_);
    snapshot->setContent(holder(column));

    for (QWidget* part : {static_cast<QWidget*>(failed), static_cast<QWidget*>(snapshot)}) {
        QSizePolicy policy = part->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Expanding);
        policy.setHorizontalStretch(1);
        part->setSizePolicy(policy);
        row->addWidget(part, 1, Qt::AlignTop);
    }
    body_->addWidget(holder(row));
}

void DesktopActivityView::refresh() {
    if (!model_) return;
    const DesktopAppModel& model = *model_;
    const bool signedIn = shownSignedIn();
    if (builtSignedIn_ != signedIn) build(signedIn);
    if (!signedIn) return;

    const QString last = model.ingestLastText();
    ingestionTile_->setValue(model.ingestPresentation().text);
    ingestionTile_->setDetail(last == QStringLiteral("--") ? QStringLiteral("No completed ingest yet")
                                                           : QStringLiteral("Last completed ") + last);
    const auto failures = model.failedUploads();
    retryTile_->setValue(failures.empty() ? QStringLiteral("Clear")
                                          : QString::number(failures.size()) + QStringLiteral(" item(s)"));
    const QString retry = model.retryStatus();
    retryTile_->setDetail(retry.isEmpty() ? QStringLiteral("Retry from here when uploads fail.") : retry);
}

} // namespace tarnwell
