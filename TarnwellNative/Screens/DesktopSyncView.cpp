#include "Screens/DesktopSyncView.hpp"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <functional>
#include <utility>

#include "Model/DesktopAppModel.hpp"
#include "Model/DesktopPresentationFormatter.hpp"
#include "Screens/DesktopScreenParts.hpp"
#include "ViewKit/DesktopAdaptiveGridLayout.hpp"
#include "ViewKit/DesktopAuthCard.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopIndexingStatusCard.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {

using screen_parts::holder;
using screen_parts::label;

QString modeValue(SyncMode mode) {
    return mode == SyncMode::regular ? QStringLiteral("Regular") : QStringLiteral("Ultra");
}

// One segment of the speed picker: its label on the selected fill or none.
// The picker's Tab stop is its selected segment (the arrow keys move the
// selection and the focus with it), so the segment holding the keyboard
// focus draws the ring, inside its face like a button's.
class Segment : public QAbstractButton {
public:
    // `focused` runs each time the segment has taken the focus.
    Segment(const QString& text, std::function<void()> focused) : focused_(std::move(focused)) {
        setText(text);
        setCheckable(true);
        setAutoExclusive(true);
        setCursor(Qt::PointingHandCursor);
        setFont(DesktopFonts::system(13, QFont::DemiBold));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    bool showsKeyboardFocus() const { return hasFocus() && keyboardFocus_; }
    // As tall as keeps the label 2 px clear of the focus ring.
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(text()) + 36, fontMetrics().height() + 2 * kLabelMargin};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        const QRectF face = QRectF(rect()).adjusted(2, 2, -2, -2);
        if (isChecked()) {
            DesktopShapes::fillRounded(painter, face, kFaceRadius, DesktopPalette::accent());
            DesktopShapes::strokeInside(painter, face, kFaceRadius, DesktopPalette::borderStrong());
        }
        if (hasFocus() && keyboardFocus_) {
            DesktopShapes::strokeFocusRing(painter, face, kFaceRadius);
        }
        painter.setPen(isChecked() ? DesktopPalette::text() : DesktopPalette::muted());
        painter.drawText(rect(), Qt::AlignCenter, text());
    }

    // Tab, Backtab and the arrow keys give the focus for a reason of Tab or
    // Backtab; a click gives it for the mouse and shows no ring.
    void focusInEvent(QFocusEvent* event) override {
        keyboardFocus_ = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
        // The button makes whichever segment takes the focus the Tab stop;
        // the picker puts it back on the selected one.
        QAbstractButton::focusInEvent(event);
        focused_();
    }
    void focusOutEvent(QFocusEvent* event) override {
        keyboardFocus_ = false;
        QAbstractButton::focusOutEvent(event);
    }

private:
    static constexpr qreal kFaceRadius = 6;
    // 2 px to the face, 3 more to the ring, 2 of ring and 2 clear.
    static constexpr int kLabelMargin = 9;
    bool keyboardFocus_ = false;
    std::function<void()> focused_;
};

} // namespace

// ---- DesktopSpeedPicker -----------------------------------------------------

DesktopSpeedPicker::DesktopSpeedPicker(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("speedPicker"));
    setAccessibleName(tr("Speed"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    regular_ = new Segment(tr("Regular"), [this] { placeTabStop(); });
    ultra_ = new Segment(tr("Ultra"), [this] { placeTabStop(); });
    row->addWidget(regular_);
    row->addWidget(ultra_);
    // A click or an arrow key picks the segment that has or takes the focus.
    connect(regular_, &QAbstractButton::clicked, this, [this] {
        select(SyncMode::regular);
        emit modePicked(SyncMode::regular);
    });
    connect(ultra_, &QAbstractButton::clicked, this, [this] {
        select(SyncMode::ultra);
        emit modePicked(SyncMode::ultra);
    });
    select(SyncMode::regular);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    setMinimumWidth(240);
}

void DesktopSpeedPicker::setMode(SyncMode mode) {
    const auto* left = static_cast<const Segment*>(segment(mode_));
    const bool follow = mode != mode_ && left->hasFocus();
    const bool ringed = left->showsKeyboardFocus();
    select(mode);
    // Chosen elsewhere while the picker holds the focus: the focus, and its
    // ring if it showed one, go to the new choice.
    if (follow) segment(mode)->setFocus(ringed ? Qt::TabFocusReason : Qt::OtherFocusReason);
}

void DesktopSpeedPicker::select(SyncMode mode) {
    mode_ = mode;
    segment(mode)->setChecked(true);
    placeTabStop();
    update();
}

void DesktopSpeedPicker::placeTabStop() {
    // Tab and Backtab enter on the choice; a click still focuses either.
    for (QAbstractButton* each : {regular_, ultra_}) {
        each->setFocusPolicy(each == segment(mode_) ? Qt::StrongFocus : Qt::ClickFocus);
    }
}

QAbstractButton* DesktopSpeedPicker::segment(SyncMode mode) const {
    return mode == SyncMode::regular ? regular_ : ultra_;
}

void DesktopSpeedPicker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    DesktopShapes::fillRounded(painter, rect(), 8, DesktopPalette::surface());
    DesktopShapes::strokeInside(painter, rect(), 8, DesktopPalette::border());
}

// ---- DesktopSyncView ----------------------------------------------------------

QString DesktopSyncView::modeExplanation(SyncMode mode) {
    return mode == SyncMode::regular ? QStringLiteral("Balanced speed, lighter on CPU and bandwidth.")
                                     : QStringLiteral("Fastest indexing, higher CPU and network usage.");
}

DesktopSyncView::DesktopSyncView(DesktopAppModel& model, QWidget* parent)
    : DesktopScreenView(model, QStringLiteral("syncScreen"),
                        {&DesktopAppModel::currentUserChanged,
                         &DesktopAppModel::foldersChanged,
                         &DesktopAppModel::modeChanged,
                         &DesktopAppModel::isRunningChanged,
                         &DesktopAppModel::syncStatusChanged},
                        parent) {
    refresh();
}

void DesktopSyncView::build(bool signedIn) {
    screen_parts::clear(body_);
    runChip_ = nullptr;
    foldersTile_ = speedTile_ = nullptr;
    noFolders_ = nullptr;
    folderBox_ = nullptr;
    startButton_ = nullptr;
    picker_ = nullptr;
    explanation_ = nullptr;
    status_ = nullptr;
    builtSignedIn_ = signedIn;
    DesktopAppModel& model = *model_;

    if (!signedIn) {
        body_->addWidget(new DesktopAuthCard(model));
        QVBoxLayout* column = screen_parts::signedOutPanel(
            body_, QStringLiteral("Sync setup"), tr("Sync setup unlocks after sign-in"),
            tr("Once this computer has a session, you can select folders, choose a speed profile, and keep sync "
               "running in the background."));
        column->addWidget(new DesktopCallout(
            QStringLiteral("The native agent and the web dashboard share the same QV account and hosted corpus."),
            StatusPillKind::accent));
        return;
    }

    auto* workspace = new DesktopSurface(DesktopSurfaceTone::strong);
    workspace->setObjectName(QStringLiteral("folderWorkspace"));
    auto* column = new QVBoxLayout;
    column->setSpacing(20);

    // 1. Header with the run chip at the trailing edge.
    auto* header = new QHBoxLayout;
    header->setSpacing(16);
    auto* intro = new QVBoxLayout;
    intro->setSpacing(8);
    intro->addWidget(new DesktopKicker(QStringLiteral("Folder workspace")));
    intro->addWidget(label(tr("Choose the local sources QV should watch, then control the native sync engine from "
                              "the same surface."),
                           DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted()));
    header->addWidget(holder(intro), 1, Qt::AlignTop);
    runChip_ = new DesktopStatusChip(QString(), StatusPillKind::muted);
    header->addWidget(runChip_, 0, Qt::AlignTop);
    column->addLayout(header);

    // 2. Tiles.
    auto* tiles = new DesktopAdaptiveGridLayout(220, 14);
    foldersTile_ = new DesktopMetricCard(QStringLiteral("Selected folders"), QString(), QString());
    speedTile_ = new DesktopMetricCard(QStringLiteral("Speed profile"), QString(), QString());
    tiles->addWidget(foldersTile_);
    tiles->addWidget(speedTile_);
    column->addWidget(holder(tiles));
    column->addWidget(new DesktopRule);

    // 4. Chosen folders.
    auto* chosen = new QVBoxLayout;
    chosen->setSpacing(10);
    chosen->addWidget(new DesktopKicker(QStringLiteral("Chosen folders")));
    noFolders_ = label(tr("No folders selected yet."), DesktopFonts::system(15, QFont::Medium),
                       DesktopPalette::muted());
    chosen->addWidget(noFolders_);
    folderBox_ = new DesktopFolderBox(model, -1, 3, true);
    chosen->addWidget(folderBox_);
    column->addLayout(chosen);
    column->addWidget(new DesktopRule);

    auto buttonRow = [&](const QString& kicker, std::initializer_list<DesktopButton*> buttons) {
        auto* group = new QVBoxLayout;
        group->setSpacing(12);
        group->addWidget(new DesktopKicker(kicker));
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        for (DesktopButton* button : buttons) row->addWidget(button, 0, Qt::AlignVCenter);
        row->addStretch(1);
        group->addLayout(row);
        column->addLayout(group);
    };

    // 6. Selection controls.
    auto* add = new DesktopButton(tr("Add folder..."), DesktopButton::Style::secondary);
    auto* home = new DesktopButton(tr("Use Home"), DesktopButton::Style::secondary);
    auto* root = new DesktopButton(tr("Use full disk"), DesktopButton::Style::secondary);
    connect(add, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->addFolder();
    });
    connect(home, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->chooseHomeFolder();
    });
    connect(root, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->chooseRootFolder();
    });
    buttonRow(QStringLiteral("Selection controls"), {add, home, root});

    // 7. Run controls.
    auto* clearSelection = new DesktopButton(tr("Clear selection"), DesktopButton::Style::secondary);
    startButton_ = new DesktopButton(tr("Start sync"), DesktopButton::Style::primary);
    auto* stop = new DesktopButton(tr("Stop"), DesktopButton::Style::secondary);
    connect(clearSelection, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->clearFolders();
    });
    connect(startButton_, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->startSync();
    });
    connect(stop, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->stopSync();
    });
    buttonRow(QStringLiteral("Run controls"), {clearSelection, startButton_, stop});

    // 8. Speed.
    auto* speed = new QVBoxLayout;
    speed->setSpacing(10);
    speed->addWidget(new DesktopKicker(QStringLiteral("Speed")));
    picker_ = new DesktopSpeedPicker;
    connect(picker_, &DesktopSpeedPicker::modePicked, this, [this](SyncMode mode) {
        if (model_) model_->setMode(mode);
    });
    speed->addWidget(picker_, 0, Qt::AlignLeft);
    explanation_ = label(QString(), DesktopFonts::system(14, QFont::Normal), DesktopPalette::muted());
    speed->addWidget(explanation_);
    column->addLayout(speed);

    // 9. Status.
    status_ = new DesktopCallout(QString(), StatusPillKind::muted);
    status_->setObjectName(QStringLiteral("syncStatusCallout"));
    column->addWidget(status_);

    workspace->setContent(holder(column));
    body_->addWidget(workspace);
    body_->addWidget(new DesktopIndexingStatusCard(model));
    body_->addWidget(new DesktopFailedUploadsCard(model, QStringLiteral("Failed uploads and retries"), true));
}

void DesktopSyncView::refresh() {
    if (!model_) return;
    const DesktopAppModel& model = *model_;
    const bool signedIn = shownSignedIn();
    if (builtSignedIn_ != signedIn) build(signedIn);
    if (!signedIn) return;

    const QStringList folders = model.folders();
    runChip_->setPresentation(model.runPresentation());
    foldersTile_->setValue(DesktopPresentationFormatter::folderCountText(folders.size()));
    foldersTile_->setDetail(
        DesktopPresentationFormatter::folderSelectionSummary(folders, model.homeFolder(), model.rootFolder()));
    speedTile_->setValue(modeValue(model.mode()));
    speedTile_->setDetail(modeExplanation(model.mode()));
    noFolders_->setVisible(folders.isEmpty());
    folderBox_->setVisible(!folders.isEmpty());
    folderBox_->setFolders(folders);
    startButton_->setEnabled(!folders.isEmpty());
    picker_->setMode(model.mode());
    explanation_->setText(modeExplanation(model.mode()));
    status_->setText(model.syncStatusLine());
    status_->setKind(model.isRunning() ? StatusPillKind::ok : StatusPillKind::muted);
}

} // namespace tarnwell
