#include "ViewKit/DesktopDetailScaffold.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopFocusFollower.hpp"
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

int heightAt(QLayoutItem* item, int width) {
    return item->hasHeightForWidth() ? item->heightForWidth(width) : item->sizeHint().height();
}

// The header's row: the intro on the left, the status and action column
// against the right edge, both top-aligned, `gap` apart. The column takes
// the width its widest row needs, up to its maximum; it is squeezed (its
// chips stacked, then its buttons in a column) only where the intro would
// otherwise be narrower than its longest word, and then to what its rows
// use at that width. The intro takes the rest.
class HeaderRowLayout : public QLayout {
public:
    HeaderRowLayout(QWidget* intro, QWidget* column, QList<FlowLayout*> rows, int gap, QWidget* parent)
        : QLayout(parent), gap_(gap), rows_(std::move(rows)) {
        setContentsMargins(0, 0, 0, 0);
        addChildWidget(intro);
        addChildWidget(column);
        intro_ = new QWidgetItem(intro);
        column_ = new QWidgetItem(column);
    }
    ~HeaderRowLayout() override {
        delete intro_;
        delete column_;
    }

    void addItem(QLayoutItem*) override {}
    int count() const override { return 2; }
    QLayoutItem* itemAt(int index) const override {
        return index == 0 ? intro_ : index == 1 ? column_ : nullptr;
    }
    QLayoutItem* takeAt(int) override { return nullptr; }
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    bool hasHeightForWidth() const override { return true; }

    int heightForWidth(int width) const override {
        const auto [introWidth, columnWidth] = widths(width);
        return std::max(heightAt(intro_, introWidth), column_->isEmpty() ? 0 : heightAt(column_, columnWidth));
    }

    QSize sizeHint() const override {
        const int width = intro_->sizeHint().width() + gap_ + columnNatural();
        return {width, heightForWidth(width)};
    }

    QSize minimumSize() const override {
        return {intro_->minimumSize().width() + gap_ + columnMinimum(),
                std::max(intro_->minimumSize().height(), column_->minimumSize().height())};
    }

    void setGeometry(const QRect& rect) override {
        QLayout::setGeometry(rect);
        const auto [introWidth, columnWidth] = widths(rect.width());
        intro_->setGeometry(QRect(rect.x(), rect.y(), introWidth, heightAt(intro_, introWidth)));
        column_->setGeometry(QRect(rect.right() + 1 - columnWidth, rect.y(), columnWidth,
                                   heightAt(column_, columnWidth)));
    }

private:
    int columnNatural() const {
        return std::min(column_->sizeHint().width(), column_->maximumSize().width());
    }
    int columnMinimum() const { return std::min(column_->minimumSize().width(), columnNatural()); }

    std::pair<int, int> widths(int width) const {
        const int shared = std::max(0, width - gap_);
        const int introMinimum = intro_->minimumSize().width();
        int column = std::min(columnNatural(), shared - introMinimum);
        column = std::max(column, columnMinimum());
        if (column < columnNatural()) {
            // Squeezed: a row that stacks needs no more than its widest item.
            int used = 0;
            for (FlowLayout* row : rows_) {
                if (!row->parentWidget()->isHidden()) used = std::max(used, row->usedWidth(column));
            }
            column = std::max(columnMinimum(), std::min(column, used));
        }
        return {std::max(0, shared - column), column};
    }

    int gap_;
    QList<FlowLayout*> rows_;
    QLayoutItem* intro_;
    QLayoutItem* column_;
};
}  // namespace

DesktopDetailScaffold::DesktopDetailScaffold(DesktopAppModel& model, DesktopDestination destination,
                                             QWidget* content, QWidget* parent)
    : QScrollArea(parent), model_(&model), destination_(destination), content_(content) {
    setFrameShape(QFrame::NoFrame);
    // The page's controls take the keyboard; the page itself scrolls by
    // wheel and follows the focus.
    setFocusPolicy(Qt::NoFocus);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    fillWithPage(this);
    fillWithPage(viewport());

    auto* page = new QWidget;
    fillWithPage(page);
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);
    pageLayout->setSpacing(24);

    // Header: intro, then the status and action column against the right edge.
    auto* header = new DesktopSurface(DesktopSurfaceTone::surface);
    auto* headerRow = new QWidget;
    intro_ = new DesktopSectionIntro(desktop_destination::eyebrow(destination),
                                     desktop_destination::title(destination),
                                     desktop_destination::subtitle(destination));

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
    // In a column squeezed narrower than a chip, its text wraps.
    runChip_->setWrapsText(true);
    ingestChip_->setWrapsText(true);
    flow->addWidget(runChip_);
    flow->addWidget(ingestChip_);
    columnLayout->addWidget(chips_, 0, Qt::AlignRight);

    auto* buttons = new QWidget;
    buttons->setObjectName(QStringLiteral("headerButtons"));
    auto* buttonsLayout = new FlowLayout(10, buttons);
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
    new HeaderRowLayout(intro_, column, {flow, buttonsLayout}, kIntroGap, headerRow);
    header->setContent(headerRow);

    pageLayout->addWidget(header);
    if (content_ != nullptr) {
        pageLayout->addWidget(content_);
    }
    pageLayout->addStretch(1);
    setWidget(page);
    // A control that takes the focus other than by a click comes whole
    // into view.
    new DesktopFocusFollower(this);
    // The page's minimum width is the scaffold's: a split view never
    // squeezes the header or a screen narrower than they can be drawn.
    page->installEventFilter(this);

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

void DesktopDetailScaffold::showAs(bool signedIn) {
    shownAs_ = signedIn;
    refresh();
}

void DesktopDetailScaffold::setMinimumPageWidth(int width) {
    minimumPageWidth_ = width;
    updateGeometry();
}

QSize DesktopDetailScaffold::minimumSizeHint() const {
    const QSize scrolling = QScrollArea::minimumSizeHint();
    const int page = widget() == nullptr ? scrolling.width() : widget()->minimumSizeHint().width() + 2 * frameWidth();
    return {std::max(page, minimumPageWidth_), scrolling.height()};
}

bool DesktopDetailScaffold::eventFilter(QObject* watched, QEvent* event) {
    if (watched == widget() && event->type() == QEvent::LayoutRequest) {
        updateGeometry();
    }
    return QScrollArea::eventFilter(watched, event);
}

void DesktopDetailScaffold::refreshNow() {
    observer_->flush();
}

void DesktopDetailScaffold::refresh() {
    if (!model_) {
        return;
    }
    const bool signedIn = shownAs_.value_or(model_->currentUser().has_value());
    runChip_->setPresentation(model_->runPresentation());
    ingestChip_->setPresentation(model_->ingestPresentation());
    chips_->setVisible(signedIn);
    refreshButton_->setVisible(signedIn);
    signOutButton_->setVisible(signedIn);
}

}  // namespace tarnwell
