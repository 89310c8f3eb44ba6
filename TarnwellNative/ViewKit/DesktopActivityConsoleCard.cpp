#include "ViewKit/DesktopActivityConsoleCard.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopConsoleView.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopLogLinesModel.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {
constexpr int kPadding = DesktopConsoleView::kPadding;
// The box's border: the lines are cut just inside it.
constexpr int kBorder = 1;
}  // namespace

DesktopActivityConsoleCard::DesktopActivityConsoleCard(DesktopAppModel& model, const QString& title,
                                                       int minimumHeight, std::optional<int> lineLimit,
                                                       QWidget* parent)
    : QWidget(parent), model_(&model), lines_(new DesktopLogLinesModel(lineLimit, this)) {
    auto* layout = DesktopSurface::fillCard(this, 16);

    auto* heading = new QVBoxLayout;
    heading->setSpacing(8);
    auto* kicker = new DesktopKicker(title);
    heading->addWidget(kicker);
    auto* sentence = new QLabel(tr(
        "Live local-agent output from this computer. Use it to spot scans, uploads, and handoff errors quickly."));
    styleLabel(sentence, DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted());
    heading->addWidget(sentence);
    chip_ = new DesktopStatusChip(QString(), StatusPillKind::muted);
    chip_->setObjectName(QStringLiteral("runStateChip"));
    // The heading and the chip on one baseline, the default 8 on each side of
    // a spacer of at least 8 between them.
    layout->addLayout(firstBaselineRow(heading, kicker->firstBaseline(), chip_, chip_->firstBaseline(), 8 + 8 + 8));

    box_ = new DesktopInnerBox;
    box_->setObjectName(QStringLiteral("consoleBox"));
    box_->setMinimumHeight(minimumHeight);
    box_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::MinimumExpanding);
    stack_ = new QStackedLayout(box_);

    auto* emptyPage = new QWidget;
    auto* emptyLayout = new QVBoxLayout(emptyPage);
    emptyLayout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    empty_ = new QLabel(tr("No activity yet."));
    empty_->setObjectName(QStringLiteral("emptyText"));
    styleLabel(empty_, DesktopFonts::system(15, QFont::Medium), DesktopPalette::muted());
    emptyLayout->addWidget(empty_);
    emptyLayout->addStretch(1);
    stack_->addWidget(emptyPage);

    auto* listPage = new QWidget;
    auto* listLayout = new QVBoxLayout(listPage);
    // The lines scroll through their padding up to the box's border.
    listLayout->setContentsMargins(kBorder, kBorder, kBorder, kBorder);
    list_ = new DesktopConsoleView;
    list_->setObjectName(QStringLiteral("consoleList"));
    list_->setModel(lines_);
    list_->setBox(box_);
    listLayout->addWidget(list_);
    stack_->addWidget(listPage);
    layout->addWidget(box_, 1);

    // The empty text stands in for the list while it has no rows.
    auto showRowsOrEmptyText = [this] { stack_->setCurrentIndex(lines_->rowCount() == 0 ? 0 : 1); };
    connect(lines_, &QAbstractItemModel::rowsInserted, this, showRowsOrEmptyText);
    connect(lines_, &QAbstractItemModel::rowsRemoved, this, showRowsOrEmptyText);

    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    observer_->watch(&model, &DesktopAppModel::logLinesChanged);
    observer_->watch(&model, &DesktopAppModel::isRunningChanged);
    refresh();
}

bool DesktopActivityConsoleCard::showsEmptyText() const { return stack_->currentIndex() == 0; }

void DesktopActivityConsoleCard::refreshNow() { observer_->flush(); }

void DesktopActivityConsoleCard::refresh() {
    if (!model_) {
        return;
    }
    if (model_->isRunning()) {
        chip_->setText(QStringLiteral("Live"));
        chip_->setKind(StatusPillKind::ok);
    } else {
        chip_->setText(QStringLiteral("Idle"));
        chip_->setKind(StatusPillKind::muted);
    }
    lines_->setLog(model_->logLines());
}

}  // namespace tarnwell
