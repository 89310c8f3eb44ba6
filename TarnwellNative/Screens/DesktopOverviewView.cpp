#include "Screens/DesktopOverviewView.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

#include "Model/DesktopAppModel.hpp"
#include "Model/DesktopPresentationFormatter.hpp"
#include "Screens/DesktopScreenParts.hpp"
#include "ViewKit/DesktopActivityConsoleCard.hpp"
#include "ViewKit/DesktopAdaptiveGridLayout.hpp"
#include "ViewKit/DesktopAuthCard.hpp"
#include "ViewKit/DesktopCallout.hpp"
#include "ViewKit/DesktopFailedUploadsCard.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopIndexingStatusCard.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSelectableText.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"
#include "ViewKit/FlowLayout.hpp"

namespace tarnwell {

namespace {

using screen_parts::holder;
using screen_parts::label;

struct Narrative {
    const char* id;
    const char* label;
    const char* title;
    const char* body;
};

constexpr Narrative kNarrative[] = {
    {"sources", "01", "Choose the files",
     "Start with the folders you actually return to instead of syncing everything at once."},
    {"index", "02", "Build a private index",
     "QV turns uploaded content into searchable summaries and chunks without changing ownership."},
    {"chat", "03", "Ground the answers",
     "The same hosted corpus powers dashboard chat, retrieval, and contextual answers."},
    {"mcp", "04", "Reuse it anywhere",
     "Once the corpus is ready, MCP-connected tools can query the same private context."},
};

constexpr const char* kSignedOutBullets[] = {
    "Client folders and project workspaces that need grounded answers.",
    "Research PDFs, notes, and reference libraries you revisit often.",
    "Internal docs and personal knowledge bases you want searchable in one place.",
    "Code, specs, and runbooks you want ready for MCP-connected tools.",
};

constexpr int kHeroSideWidth = 340;

QString modeValue(SyncMode mode) {
    return mode == SyncMode::regular ? QStringLiteral("Regular") : QStringLiteral("Ultra");
}

QString modeDetail(SyncMode mode) {
    return mode == SyncMode::regular ? QStringLiteral("Balanced CPU and bandwidth")
                                     : QStringLiteral("Fastest indexing and uploads");
}

QString runValue(bool running) {
    return running ? QStringLiteral("Running") : QStringLiteral("Stopped");
}

// The hero panel's right column: a plain `surface` fill, kept inside the
// panel's rounded outline, which it draws again over its fill.
class HeroSideColumn : public QWidget {
public:
    HeroSideColumn() { setFixedWidth(kHeroSideWidth); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        const QWidget* panel = parentWidget();
        const QRectF panelRect = panel ? QRectF(mapFrom(panel, QPoint(0, 0)), QSizeF(panel->size())) : QRectF(rect());
        painter.setClipPath(DesktopShapes::continuousRoundedRect(panelRect, DesktopSurface::kCornerRadius));
        painter.fillRect(rect(), DesktopPalette::surface());
        painter.setClipping(false);
        DesktopShapes::strokeInside(painter, panelRect, DesktopSurface::kCornerRadius, DesktopPalette::border());
    }
};

// A chip row that turns into a column when it doesn't fit, the column as
// wide as its widest chip and kept against the leading edge, its chips lined
// up on their right edges.
class LeadingChipFlow : public QWidget {
public:
    explicit LeadingChipFlow(int spacing) : inner_(new QWidget(this)), flow_(new FlowLayout(spacing, inner_)) {
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
        inner_->installEventFilter(this);
    }

    void addWidget(QWidget* widget) { flow_->addWidget(widget); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return flow_->heightForWidth(width); }
    QSize sizeHint() const override { return flow_->sizeHint(); }
    QSize minimumSizeHint() const override { return flow_->minimumSize(); }

protected:
    void resizeEvent(QResizeEvent*) override { place(); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        // A chip changed its text: ask again for room and take it.
        if (watched == inner_ && event->type() == QEvent::LayoutRequest) {
            updateGeometry();
            place();
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    void place() {
        int used = width();
        if (!flow_->fitsInRow(used)) {
            int widest = 0;
            for (int i = 0; i < flow_->count(); ++i) {
                QLayoutItem* item = flow_->itemAt(i);
                if (!item->isEmpty()) widest = std::max(widest, item->sizeHint().width());
            }
            used = std::min(used, widest);
        }
        inner_->setGeometry(0, 0, used, height());
    }

    QWidget* inner_;
    FlowLayout* flow_;
};

class VerticalDivider : public QWidget {
public:
    VerticalDivider() { setFixedWidth(1); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), DesktopPalette::border()); }
};

// A fact's value breaks anywhere: it may be a path.
QWidget* heroFact(const QString& title, DesktopSelectableText** valueOut) {
    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    column->addWidget(new DesktopKicker(title));
    auto* value = new DesktopSelectableText(QString(), DesktopFonts::system(16, QFont::Bold), DesktopPalette::text());
    value->setSelectable(false);
    column->addWidget(value);
    if (valueOut) *valueOut = value;
    return holder(column);
}

QWidget* narrativeCard(const Narrative& item) {
    auto* surface = new DesktopSurface(DesktopSurfaceTone::surface, 18);
    surface->setObjectName(QStringLiteral("narrative-") + QString::fromLatin1(item.id));
    auto* column = new QVBoxLayout;
    column->setSpacing(10);
    column->addWidget(new DesktopKicker(QString::fromUtf8(item.label)));
    column->addWidget(screen_parts::headline(QString::fromUtf8(item.title), 22, -0.6));
    column->addWidget(label(QString::fromUtf8(item.body), DesktopFonts::system(14, QFont::Normal),
                            DesktopPalette::muted()));
    column->addStretch(1);
    QWidget* content = holder(column);
    content->setMinimumHeight(152);
    surface->setContent(content);
    return surface;
}

} // namespace

QString DesktopOverviewView::heroTitle(bool signedIn) {
    return signedIn ? QStringLiteral("Your files, searchable and chat-ready.")
                    : QStringLiteral("Private Context Infrastructure. Intelligent by default.");
}

QString DesktopOverviewView::heroSubtitle(bool signedIn) {
    return signedIn ? QStringLiteral("Stay on top of sync health, indexing progress, and the handoff into the dashboard.")
                    : QStringLiteral("Sign in, point the agent at the folders that matter, and let QV prepare them for "
                                     "chat, search, and retrieval.");
}

QString DesktopOverviewView::signedOutChipText() {
    return QStringLiteral("Native desktop app");
}

DesktopOverviewView::DesktopOverviewView(DesktopAppModel& model, QWidget* parent)
    : DesktopScreenView(model, QStringLiteral("overviewScreen"),
                        {&DesktopAppModel::currentUserChanged,
                         &DesktopAppModel::foldersChanged,
                         &DesktopAppModel::modeChanged,
                         &DesktopAppModel::isRunningChanged,
                         &DesktopAppModel::syncStatusChanged,
                         &DesktopAppModel::failedUploadsChanged,
                         &DesktopAppModel::retryStatusChanged},
                        parent) {
    refresh();
}

void DesktopOverviewView::build(bool signedIn) {
    screen_parts::clear(body_);
    folderChip_ = nullptr;
    foldersTile_ = modeTile_ = runTile_ = nullptr;
    runFact_ = selectionFact_ = nullptr;
    noFolders_ = nullptr;
    folderBox_ = nullptr;
    failedUploads_ = nullptr;
    builtSignedIn_ = signedIn;
    DesktopAppModel& model = *model_;

    if (!signedIn) {
        body_->addWidget(new DesktopAuthCard(model));
        body_->addWidget(makeHeroPanel(false));
        auto* grid = new DesktopAdaptiveGridLayout(210, 14);
        for (const Narrative& item : kNarrative) grid->addWidget(narrativeCard(item));
        body_->addWidget(holder(grid));
        return;
    }

    body_->addWidget(makeHeroPanel(true));
    auto* tiles = new DesktopAdaptiveGridLayout(210, 14);
    foldersTile_ = new DesktopMetricCard(QStringLiteral("Folders"), QString(), QString());
    modeTile_ = new DesktopMetricCard(QStringLiteral("Sync mode"), QString(), QString());
    runTile_ = new DesktopMetricCard(QStringLiteral("Run state"), QString(), QString());
    tiles->addWidget(foldersTile_);
    tiles->addWidget(modeTile_);
    tiles->addWidget(runTile_);
    body_->addWidget(holder(tiles));
    body_->addWidget(new DesktopIndexingStatusCard(model));

    auto* row = new QHBoxLayout;
    row->setSpacing(16);
    QWidget* workspace = makeWorkspacePanel();
    auto* console = new DesktopActivityConsoleCard(model, QStringLiteral("Recent activity"), 220, 8);
    for (QWidget* column : {workspace, static_cast<QWidget*>(console)}) {
        QSizePolicy policy = column->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Expanding);
        policy.setHorizontalStretch(1);
        column->setSizePolicy(policy);
        row->addWidget(column, 1, Qt::AlignTop);
    }
    body_->addWidget(holder(row));

    failedUploads_ = new DesktopFailedUploadsCard(model, QStringLiteral("Failed uploads"), true);
    body_->addWidget(failedUploads_);
}

QWidget* DesktopOverviewView::makeHeroPanel(bool signedIn) {
    auto* panel = new DesktopSurface(DesktopSurfaceTone::strong, 0);
    panel->setObjectName(QStringLiteral("heroPanel"));
    auto* row = new QHBoxLayout;
    row->setSpacing(0);

    auto* left = new QVBoxLayout;
    left->setContentsMargins(28, 28, 28, 28);
    left->setSpacing(16);
    left->addWidget(new DesktopKicker(QStringLiteral("Private context infrastructure")));
    left->addWidget(screen_parts::headline(heroTitle(signedIn), 50, -1.8));
    left->addWidget(label(heroSubtitle(signedIn), DesktopFonts::system(17, QFont::Normal), DesktopPalette::muted()));
    auto* chips = new LeadingChipFlow(10);
    chips->setObjectName(QStringLiteral("heroChips"));
    auto* typesChip = new DesktopStatusChip(DesktopAppModel::supportedTypesText(), StatusPillKind::muted);
    folderChip_ = new DesktopStatusChip(signedOutChipText(), StatusPillKind::accent);
    for (DesktopStatusChip* chip : {typesChip, folderChip_}) {
        chip->setWrapsText(true); // a narrow hero shows the whole list
        chips->addWidget(chip);
    }
    left->addWidget(chips);
    left->addStretch(1);
    QWidget* leftColumn = new QWidget;
    leftColumn->setLayout(left);
    row->addWidget(leftColumn, 1);

    row->addWidget(new VerticalDivider);

    auto* side = new HeroSideColumn;
    auto* right = new QVBoxLayout(side);
    right->setContentsMargins(28, 28, 28, 28);
    right->setSpacing(16);
    if (!signedIn) {
        right->addWidget(new DesktopKicker(QStringLiteral("Good first fits")));
        right->addWidget(screen_parts::headline(tr("Start with the files you already return to."), 24, -0.8));
        right->addWidget(label(tr("The site explains how QV works. Up here, keep it practical:"),
                               DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted()));
        auto* bullets = new QVBoxLayout;
        bullets->setSpacing(10);
        for (const char* bullet : kSignedOutBullets) {
            auto* line = new QHBoxLayout;
            line->setSpacing(8);
            line->addWidget(label(tr("-"), DesktopFonts::system(14, QFont::Bold), DesktopPalette::muted()), 0,
                            Qt::AlignTop);
            line->addWidget(label(QString::fromUtf8(bullet), DesktopFonts::system(14, QFont::Medium),
                                  DesktopPalette::muted()),
                            1, Qt::AlignTop);
            bullets->addLayout(line);
        }
        right->addLayout(bullets);
    } else {
        right->addWidget(new DesktopKicker(QStringLiteral("Operating notes")));
        auto* facts = new QVBoxLayout;
        facts->setSpacing(12);
        facts->addWidget(heroFact(QStringLiteral("Run state"), &runFact_));
        DesktopSelectableText* destination = nullptr;
        facts->addWidget(heroFact(QStringLiteral("Hosted destination"), &destination));
        destination->setText(QStringLiteral("QV dashboard + MCP"));
        facts->addWidget(heroFact(QStringLiteral("Selection"), &selectionFact_));
        right->addLayout(facts);
    }
    right->addStretch(1);
    row->addWidget(side, 0);

    panel->setContent(holder(row));
    return panel;
}

QWidget* DesktopOverviewView::makeWorkspacePanel() {
    auto* panel = new DesktopSurface(DesktopSurfaceTone::strong);
    panel->setObjectName(QStringLiteral("workspacePanel"));
    auto* column = new QVBoxLayout;
    column->setSpacing(16);
    column->addWidget(new DesktopKicker(QStringLiteral("Current workspace")));
    column->addWidget(label(tr("The native app keeps folder choice, hosted status, and dashboard readiness in one place."),
                            DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted()));
    noFolders_ = new DesktopCallout(
        QStringLiteral("No folders are selected yet. Head to Sync Setup to choose what this computer should watch."),
        StatusPillKind::warn);
    column->addWidget(noFolders_);
    folderBox_ = new DesktopFolderBox(*model_, 3, 2, false);
    column->addWidget(folderBox_);
    panel->setContent(holder(column));
    return panel;
}

void DesktopOverviewView::refresh() {
    if (!model_) return;
    const DesktopAppModel& model = *model_;
    const bool signedIn = shownSignedIn();
    if (builtSignedIn_ != signedIn) build(signedIn);
    if (!signedIn) return;

    const QStringList folders = model.folders();
    const QString count = DesktopPresentationFormatter::folderCountText(folders.size());
    const QString summary =
        DesktopPresentationFormatter::folderSelectionSummary(folders, model.homeFolder(), model.rootFolder());
    folderChip_->setText(count);
    foldersTile_->setValue(count);
    foldersTile_->setDetail(summary);
    modeTile_->setValue(modeValue(model.mode()));
    modeTile_->setDetail(modeDetail(model.mode()));
    runTile_->setValue(runValue(model.isRunning()));
    runTile_->setDetail(model.syncStatusLine());
    runFact_->setText(runValue(model.isRunning()));
    selectionFact_->setText(summary);
    noFolders_->setVisible(folders.isEmpty());
    folderBox_->setVisible(!folders.isEmpty());
    folderBox_->setFolders(folders);
    failedUploads_->setVisible(!model.failedUploads().empty() || !model.retryStatus().isEmpty());
}

} // namespace tarnwell
