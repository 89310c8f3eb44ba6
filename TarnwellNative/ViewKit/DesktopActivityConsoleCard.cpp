#include "ViewKit/DesktopActivityConsoleCard.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QScrollBar>
#include <QStackedLayout>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QVBoxLayout>
#include <cmath>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopLogLinesModel.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {
constexpr int kPadding = 18;
constexpr int kRowSpacing = 10;
// The list reaches the box's right edge (for its scroll bar); the text keeps
// the padding.
constexpr int kRightInset = kPadding - 2;

// Draws a log line wrapped to the view's width, in the text colour; half the
// row spacing above and below each line. A double-click opens a read-only
// editor in which part of the line can be selected.
class LogLineDelegate : public QStyledItemDelegate {
public:
    explicit LogLineDelegate(QListView* view) : QStyledItemDelegate(view), view_(view) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const int width = textWidth();
        const QString text = index.data().toString();
        return {width + kRightInset, textHeight(text, width) + kRowSpacing};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        painter->save();
        if (option.state & QStyle::State_Selected) {
            painter->fillRect(option.rect, DesktopPalette::accentSoft());
        }
        painter->setFont(DesktopFonts::bodyMonospaced());
        painter->setPen(DesktopPalette::text());
        const QRect textRect = option.rect.adjusted(0, kRowSpacing / 2, -kRightInset, -kRowSpacing / 2);
        QTextOption textOption;
        textOption.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        painter->drawText(QRectF(textRect), index.data().toString(), textOption);
        painter->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
        auto* editor = new QLineEdit(parent);
        editor->setReadOnly(true);
        editor->setFrame(false);
        editor->setFont(DesktopFonts::bodyMonospaced());
        return editor;
    }

    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

private:
    int textWidth() const { return std::max(40, view_->viewport()->width() - kRightInset); }

    static int textHeight(const QString& text, int width) {
        const QFont font = DesktopFonts::bodyMonospaced();
        QTextLayout layout(text, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        qreal height = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            height += line.height();
        }
        layout.endLayout();
        return static_cast<int>(std::ceil(std::max<qreal>(height, QFontMetricsF(font).height())));
    }

    QListView* view_;
};
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
    // The rows carry half the row spacing above and below themselves.
    listLayout->setContentsMargins(kPadding, kPadding - kRowSpacing / 2, 2, kPadding - kRowSpacing / 2);
    list_ = new QListView;
    list_->setObjectName(QStringLiteral("consoleList"));
    list_->setModel(lines_);
    list_->setItemDelegate(new LogLineDelegate(list_));
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::DoubleClicked);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setResizeMode(QListView::Adjust);
    list_->setUniformItemSizes(false);
    list_->setWordWrap(true);
    list_->setContextMenuPolicy(Qt::ActionsContextMenu);
    QPalette colours = list_->palette();
    colours.setColor(QPalette::Base, Qt::transparent);
    list_->setPalette(colours);
    list_->viewport()->setAutoFillBackground(false);
    // A slim scroll bar without arrows, in the border colour.
    const QColor thumb = DesktopPalette::border();
    list_->verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 10px; margin: 6px 3px 6px 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 28px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }")
            .arg(thumb.name()));
    list_->installEventFilter(this);
    auto* copy = new QAction(tr("Copy"), list_);
    connect(copy, &QAction::triggered, this, [this] { copySelection(); });
    list_->addAction(copy);
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

void DesktopActivityConsoleCard::copySelection() const {
    QModelIndexList selected = list_->selectionModel()->selectedIndexes();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList text;
    for (const QModelIndex& index : selected) {
        text.append(index.data().toString());
    }
    if (!text.isEmpty()) {
        QApplication::clipboard()->setText(text.join(QLatin1Char('\n')));
    }
}

bool DesktopActivityConsoleCard::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        if (static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
            copySelection();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace tarnwell
