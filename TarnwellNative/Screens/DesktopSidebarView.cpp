#include "Screens/DesktopSidebarView.hpp"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

#include "Model/DesktopAppModel.hpp"
#include "Model/DesktopPresentationFormatter.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopFocusFollower.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopRule.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"
#include "ViewKit/DesktopSymbols.hpp"
#include "ViewKit/FlowLayout.hpp"

namespace tarnwell {

namespace {

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& colour, bool wrap = true) {
    auto* label = new QLabel(text);
    styleLabel(label, font, colour, wrap);
    return label;
}

DesktopFittedText* makeLimitedText(const QFont& font, const QColor& colour, int maxLines) {
    auto* text = new DesktopFittedText(font, maxLines, 1.0);
    QPalette colours = text->palette();
    colours.setColor(QPalette::WindowText, colour);
    text->setPalette(colours);
    return text;
}

// The "QV" badge at the top of the sidebar.
class SidebarBadge : public QWidget {
public:
    SidebarBadge() { setFixedSize(44, 44); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        DesktopShapes::fillRounded(painter, rect(), 8, DesktopPalette::surfaceStrong());
        DesktopShapes::strokeInside(painter, rect(), 8, DesktopPalette::borderStrong());
        painter.setFont(DesktopFonts::system(15, QFont::Bold));
        painter.setPen(DesktopPalette::text());
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("QV"));
    }
};

// A plain fill in the colour it is given.
class ColourBar : public QWidget {
public:
    ColourBar() { setFixedWidth(4); }
    void setColour(const QColor& colour) {
        colour_ = colour;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), colour_); }

private:
    QColor colour_;
};

} // namespace

// ---- SidebarDestinationButton ----------------------------------------------

SidebarDestinationButton::SidebarDestinationButton(DesktopDestination destination, QWidget* parent)
    : QAbstractButton(parent), destination_(destination) {
    setObjectName(QStringLiteral("sidebarRow-") + desktop_destination::rawValue(destination));
    setText(desktop_destination::sidebarTitle(destination));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 16, 16, 16);
    row->setSpacing(14);

    auto* bar = new ColourBar;
    indicator_ = bar;
    row->addWidget(bar);

    auto* iconBox = new QWidget;
    auto* iconLayout = new QVBoxLayout(iconBox);
    iconLayout->setContentsMargins(0, 2, 0, 0);
    icon_ = new QLabel;
    icon_->setFixedSize(18, 18);
    icon_->setAlignment(Qt::AlignCenter);
    iconLayout->addWidget(icon_);
    iconLayout->addStretch(1);
    row->addWidget(iconBox, 0, Qt::AlignTop);

    auto* texts = new QWidget;
    auto* column = new QVBoxLayout(texts);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* title = makeLimitedText(DesktopFonts::system(16, QFont::Bold), DesktopPalette::text(), 1);
    title->setText(desktop_destination::sidebarTitle(destination));
    column->addWidget(title);
    auto* detail = makeLimitedText(DesktopFonts::system(13, QFont::Medium), DesktopPalette::muted(), 2);
    detail->setText(desktop_destination::sidebarDetail(destination));
    column->addWidget(detail);
    row->addWidget(texts, 1, Qt::AlignTop);

    // Clicks anywhere on the row belong to the button.
    for (QWidget* child : findChildren<QWidget*>()) child->setAttribute(Qt::WA_TransparentForMouseEvents);
    applySelection();
}

void SidebarDestinationButton::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    applySelection();
}

void SidebarDestinationButton::applySelection() {
    static_cast<ColourBar*>(indicator_)->setColour(selected_ ? DesktopPalette::accentDeep() : DesktopPalette::border());
    icon_->setPixmap(DesktopSymbols::tinted(desktop_destination::systemImage(destination_), 16,
                                            selected_ ? DesktopPalette::text() : DesktopPalette::muted(),
                                            devicePixelRatioF()));
    update();
}

void SidebarDestinationButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    DesktopShapes::fillSquare(painter, rect(), selected_ ? DesktopPalette::surfaceStrong() : DesktopPalette::surface());
    DesktopShapes::strokeInside(painter, rect(), 8, selected_ ? DesktopPalette::borderStrong() : DesktopPalette::border());
    if (hasFocus() && keyboardFocus_) {
        DesktopShapes::strokeFocusRing(painter, rect(), 8);
    }
}

void SidebarDestinationButton::focusInEvent(QFocusEvent* event) {
    // The ring marks where the keyboard is, not where the pointer clicked.
    keyboardFocus_ = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
    update();
}

void SidebarDestinationButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
    update();
}

// ---- DesktopSidebarView ----------------------------------------------------

DesktopSidebarView::DesktopSidebarView(DesktopAppModel& model, QWidget* parent) : QWidget(parent), model_(&model) {
    setObjectName(QStringLiteral("sidebar"));
    setMinimumWidth(minimumWidth);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);

    // When the window is too short for the column, its vertical margins
    // give way first (fitHeight), and only then does it scroll as one;
    // otherwise the account card sits at the bottom.
    auto* scroll = new QScrollArea;
    scroll_ = scroll;
    scroll->setObjectName(QStringLiteral("sidebarScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The rows take the keyboard; the column itself scrolls by wheel and
    // follows the focus.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->viewport()->setAutoFillBackground(false);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    auto* page = new QWidget;
    page->setAutoFillBackground(false);
    auto* body = new QVBoxLayout(page);
    body_ = body;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);

    // Brand header.
    auto* header = new QWidget;
    auto* headerColumn = new QVBoxLayout(header);
    headerColumn_ = headerColumn;
    headerColumn->setContentsMargins(24, 24, 24, 24);
    headerColumn->setSpacing(18);
    auto* brand = new QHBoxLayout;
    brand->setSpacing(14);
    brand->addWidget(new SidebarBadge, 0, Qt::AlignVCenter);
    QFont nameFont = DesktopFonts::monospaced(18, QFont::Medium);
    nameFont.setLetterSpacing(QFont::AbsoluteSpacing, 2.2);
    nameFont.setCapitalization(QFont::AllUppercase);
    brand->addWidget(makeLabel(QStringLiteral("Tarnwell"), nameFont, DesktopPalette::muted(), false), 1,
                     Qt::AlignVCenter);
    headerColumn->addLayout(brand);
    headerColumn->addWidget(makeLabel(
        tr("Keep local sync, hosted indexing, and dashboard readiness aligned from one native window."),
        DesktopFonts::system(14, QFont::Normal), DesktopPalette::muted()));
    body->addWidget(header);

    body->addWidget(new DesktopRule);

    // Screen list.
    auto* workspace = new QWidget;
    auto* workspaceColumn = new QVBoxLayout(workspace);
    workspaceColumn_ = workspaceColumn;
    workspaceColumn->setContentsMargins(24, 24, 24, 24);
    workspaceColumn->setSpacing(16);
    workspaceColumn->addWidget(new DesktopKicker(tr("Workspace")));
    auto* rowsColumn = new QVBoxLayout;
    rowsColumn->setSpacing(10);
    for (DesktopDestination destination : desktop_destination::allCases) {
        auto* rowButton = new SidebarDestinationButton(destination);
        connect(rowButton, &QAbstractButton::clicked, this,
                [this, destination] { emit destinationClicked(destination); });
        rows_.append(rowButton);
        rowsColumn->addWidget(rowButton);
    }
    workspaceColumn->addLayout(rowsColumn);
    body->addWidget(workspace);

    freeSpace_ = new QSpacerItem(0, 16, QSizePolicy::Minimum, QSizePolicy::Expanding);
    body->addSpacerItem(freeSpace_);

    // Account card.
    auto* cardHolder = new QWidget;
    auto* cardMargins = new QVBoxLayout(cardHolder);
    cardMargins_ = cardMargins;
    cardMargins->setContentsMargins(24, 28, 24, 24);
    auto* surface = new DesktopSurface(DesktopSurfaceTone::strong, 20);
    accountCard_ = surface;
    accountCard_->setObjectName(QStringLiteral("accountCard"));
    auto* card = new QWidget;
    accountLines_ = new QVBoxLayout(card);
    accountLines_->setContentsMargins(0, 0, 0, 0);
    accountLines_->setSpacing(14);
    accountLines_->addWidget(new DesktopKicker(tr("This computer")));

    userLabel_ = makeLimitedText(DesktopFonts::system(18, QFont::Bold), DesktopPalette::text(), 2);
    userLabel_->setObjectName(QStringLiteral("userLabel"));
    accountLines_->addWidget(userLabel_);
    folderCount_ = makeLabel(QString(), DesktopFonts::system(14, QFont::Medium), DesktopPalette::muted());
    accountLines_->addWidget(folderCount_);
    chipRow_ = new QWidget;
    auto* chips = new FlowLayout(8, chipRow_);
    chips->setContentsMargins(0, 0, 0, 0);
    runChip_ = new DesktopStatusChip(QString(), StatusPillKind::muted);
    chips->addWidget(runChip_);
    accountLines_->addWidget(chipRow_);

    signedOutTitle_ = makeLabel(tr("Not signed in"), DesktopFonts::system(18, QFont::Bold), DesktopPalette::text());
    accountLines_->addWidget(signedOutTitle_);
    signedOutText_ = makeLabel(
        tr("Sign in to connect this computer to your QV workspace and keep selected folders in sync."),
        DesktopFonts::system(14, QFont::Normal), DesktopPalette::muted());
    accountLines_->addWidget(signedOutText_);

    dashboardButton_ = new DesktopButton(tr("Open dashboard"), DesktopButton::Style::secondary);
    connect(dashboardButton_, &QAbstractButton::clicked, this, [this] {
        if (model_) model_->openDashboard();
    });
    accountLines_->addWidget(dashboardButton_, 0, Qt::AlignLeft);
    surface->setContent(card);
    cardMargins->addWidget(surface);
    body->addWidget(cardHolder);
    scroll->setWidget(page);
    new DesktopFocusFollower(scroll);
    // The column is drawn on the sidebar's own colour, not the window's.
    page->setAutoFillBackground(false);
    page->installEventFilter(this);
    scroll->viewport()->installEventFilter(this);

    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    observer_->watch(&model, &DesktopAppModel::currentUserChanged);
    observer_->watch(&model, &DesktopAppModel::foldersChanged);
    observer_->watch(&model, &DesktopAppModel::isRunningChanged);
    refresh();
    setActiveDestination(std::nullopt);
}

void DesktopSidebarView::setActiveDestination(std::optional<DesktopDestination> destination) {
    active_ = destination.value_or(DesktopDestination::overview);
    for (SidebarDestinationButton* rowButton : rows_) rowButton->setSelected(rowButton->destination() == active_);
}

SidebarDestinationButton* DesktopSidebarView::row(DesktopDestination destination) const {
    for (SidebarDestinationButton* rowButton : rows_) {
        if (rowButton->destination() == destination) return rowButton;
    }
    return nullptr;
}

QSize DesktopSidebarView::sizeHint() const {
    return {idealWidth, QWidget::sizeHint().height()};
}

void DesktopSidebarView::refreshNow() {
    observer_->flush();
    refresh();
}

void DesktopSidebarView::refresh() {
    if (!model_) return;
    const bool signedIn = model_->currentUser().has_value();
    userLabel_->setVisible(signedIn);
    folderCount_->setVisible(signedIn);
    chipRow_->setVisible(signedIn);
    signedOutTitle_->setVisible(!signedIn);
    signedOutText_->setVisible(!signedIn);
    if (signedIn) {
        userLabel_->setText(model_->userLabel());
        folderCount_->setText(DesktopPresentationFormatter::folderCountText(model_->folders().size()));
        runChip_->setPresentation(model_->runPresentation());
    }
}

void DesktopSidebarView::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), DesktopPalette::surface());
}

bool DesktopSidebarView::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == scroll_->viewport() && event->type() == QEvent::Resize) ||
        (watched == scroll_->widget() && event->type() == QEvent::LayoutRequest)) {
        fitHeight();
    }
    return QWidget::eventFilter(watched, event);
}

void DesktopSidebarView::fitHeight() {
    // The vertical margins of the header, the screen list and the account
    // card, and the free space above the card, at full size.
    constexpr int kMargin = 24;
    constexpr int kCardTop = 28;
    constexpr int kFreeSpace = 16;
    constexpr int kGaps = 6 * kMargin + kCardTop + kFreeSpace;
    constexpr qreal kLeastScale = 0.5;
    auto scaled = [](int full, qreal scale) { return static_cast<int>(std::lround(full * scale)); };
    auto gapsAt = [&](qreal scale) {
        return 6 * scaled(kMargin, scale) + scaled(kCardTop, scale) + scaled(kFreeSpace, scale);
    };

    QWidget* page = scroll_->widget();
    const int width = scroll_->viewport()->width();
    const int shown = page->hasHeightForWidth() ? page->heightForWidth(width) : page->sizeHint().height();
    const int needed = shown - gapsAt(gapScale_) + kGaps;
    const int over = needed - scroll_->viewport()->height();
    const qreal scale = over <= 0 ? 1.0 : std::max(kLeastScale, static_cast<qreal>(kGaps - over) / kGaps);
    if (gapsAt(scale) == gapsAt(gapScale_)) return;
    gapScale_ = scale;
    const int margin = scaled(kMargin, scale);
    headerColumn_->setContentsMargins(kMargin, margin, kMargin, margin);
    workspaceColumn_->setContentsMargins(kMargin, margin, kMargin, margin);
    cardMargins_->setContentsMargins(kMargin, scaled(kCardTop, scale), kMargin, margin);
    freeSpace_->changeSize(0, scaled(kFreeSpace, scale), QSizePolicy::Minimum, QSizePolicy::Expanding);
    body_->invalidate();
}

} // namespace tarnwell
