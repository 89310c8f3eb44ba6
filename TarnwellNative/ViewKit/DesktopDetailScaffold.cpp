#include "ViewKit/DesktopDetailScaffold.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSectionIntro.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"
#include "ViewKit/FlowLayout.hpp"

namespace tarnwell {

namespace {
void fillWithPage(QWidget* widget) {
    QPalette colours = widget->palette();
    colours.setColor(QPalette::Window, DesktopPalette::page());
    widget->setPalette(colours);
    widget->setAutoFillBackground(true);
}
}  // namespace

DesktopDetailScaffold::DesktopDetailScaffold(DesktopAppModel& model, DesktopDestination destination,
                                             QWidget* content, QWidget* parent)
    : QScrollArea(parent), model_(&model), destination_(destination), content_(content) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    fillWithPage(this);
    fillWithPage(viewport());

    auto* page = new QWidget;
    fillWithPage(page);
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(28, 28, 28, 28);
    pageLayout->setSpacing(24);

    // Header: intro, then the status and action column against the right edge.
    auto* header = new DesktopSurface(DesktopSurfaceTone::surface);
    auto* headerRow = new QWidget;
    auto* headerLayout = new QHBoxLayout(headerRow);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(0);
    intro_ = new DesktopSectionIntro(desktop_destination::eyebrow(destination),
                                     desktop_destination::title(destination),
                                     desktop_destination::subtitle(destination));
    // The intro takes the room the column leaves; its headline wraps.
    QSizePolicy introPolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    introPolicy.setHeightForWidth(true);
    intro_->setSizePolicy(introPolicy);
    headerLayout->addWidget(intro_, 1, Qt::AlignTop);
    // The stack's 24 on each side of a spacer of at least 24.
    headerLayout->addSpacing(kIntroGap);

    auto* column = new QWidget;
    column->setObjectName(QStringLiteral("statusColumn"));
    column->setMaximumWidth(kColumnMaximumWidth);
    auto* columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(14);

    chips_ = new QWidget;
    chips_->setObjectName(QStringLiteral("statusChips"));
    auto* flow = new FlowLayout(10, chips_);
    runChip_ = new DesktopStatusChip(QString(), StatusPillKind::muted);
    runChip_->setObjectName(QStringLiteral("runChip"));
    ingestChip_ = new DesktopStatusChip(QString(), StatusPillKind::muted);
    ingestChip_->setObjectName(QStringLiteral("ingestChip"));
    flow->addWidget(runChip_);
    flow->addWidget(ingestChip_);
    QSizePolicy chipsPolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    chipsPolicy.setHeightForWidth(true);
    chips_->setSizePolicy(chipsPolicy);
    columnLayout->addWidget(chips_, 0, Qt::AlignRight);

    auto* buttons = new QWidget;
    auto* buttonsLayout = new QHBoxLayout(buttons);
    buttonsLayout->setContentsMargins(0, 0, 0, 0);
    buttonsLayout->setSpacing(10);
    refreshButton_ = new DesktopButton(tr("Refresh"), DesktopButton::Style::secondary);
    refreshButton_->setObjectName(QStringLiteral("refreshButton"));
    dashboardButton_ = new DesktopButton(tr("Open dashboard"), DesktopButton::Style::primary);
    dashboardButton_->setObjectName(QStringLiteral("dashboardButton"));
    signOutButton_ = new DesktopButton(tr("Sign out"), DesktopButton::Style::secondary);
    signOutButton_->setObjectName(QStringLiteral("signOutButton"));
    buttonsLayout->addWidget(refreshButton_);
    buttonsLayout->addWidget(dashboardButton_);
    buttonsLayout->addWidget(signOutButton_);
    columnLayout->addWidget(buttons, 0, Qt::AlignRight);
    headerLayout->addWidget(column, 0, Qt::AlignTop);
    header->setContent(headerRow);

    pageLayout->addWidget(header);
    if (content_ != nullptr) {
        pageLayout->addWidget(content_);
    }
    pageLayout->addStretch(1);
    setWidget(page);

    // Each button starts its action and forgets it; the outcome reaches the
    // window through the model's state.
    connect(refreshButton_, &QAbstractButton::clicked, this, [this] {
        if (model_) {
            (void)model_->refreshStatus();
        }
    });
    connect(dashboardButton_, &QAbstractButton::clicked, this, [this] {
        if (model_) {
            model_->openDashboard();
        }
    });
    connect(signOutButton_, &QAbstractButton::clicked, this, [this] {
        if (model_) {
            (void)model_->signOut();
        }
    });

    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    observer_->watch(&model, &DesktopAppModel::currentUserChanged);
    observer_->watch(&model, &DesktopAppModel::isRunningChanged);
    observer_->watch(&model, &DesktopAppModel::ingestStatusChanged);
    refresh();
}

void DesktopDetailScaffold::refreshNow() {
    observer_->flush();
}

void DesktopDetailScaffold::refresh() {
    if (!model_) {
        return;
    }
    const bool signedIn = model_->currentUser().has_value();
    runChip_->setPresentation(model_->runPresentation());
    ingestChip_->setPresentation(model_->ingestPresentation());
    chips_->setVisible(signedIn);
    refreshButton_->setVisible(signedIn);
    signOutButton_->setVisible(signedIn);
}

}  // namespace tarnwell
