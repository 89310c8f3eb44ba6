#include "Screens/ContentView.hpp"

#include <QFile>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QSettings>
#include <QSplitter>

#include <algorithm>
#include <memory>

#include "Screens/DesktopActivityView.hpp"
#include "Screens/DesktopOverviewView.hpp"
#include "Screens/DesktopSidebarView.hpp"
#include "Screens/DesktopSyncView.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell {

ContentView::ConfirmationTexts ContentView::confirmationTexts(
    const std::optional<FolderSelectionConfirmation>& pending) {
    if (!pending) return {QStringLiteral("Replace folder selection?"), QStringLiteral("Replace"), QString()};
    switch (pending->kind) {
    case FolderSelectionConfirmation::Kind::replaceWithHome:
        return {QStringLiteral("Replace folder selection with Home?"), QStringLiteral("Use Home"),
                QStringLiteral("Syncing your entire home folder can take a while. Replace your current selection "
                               "with your home directory?")};
    case FolderSelectionConfirmation::Kind::replaceWithRoot:
        return {QStringLiteral("Replace folder selection with full disk?"), QStringLiteral("Use full disk"),
                QStringLiteral("Syncing your entire computer can take a long time and use more bandwidth. Replace "
                               "your current selection with your full disk?")};
    case FolderSelectionConfirmation::Kind::replaceWithSpecificFolder:
        return {QStringLiteral("Replace all-folders selection?"), QStringLiteral("Replace with folder"),
                QStringLiteral("You currently have an all-folders selection active. Replace it with this specific "
                               "folder?")};
    }
    return {QStringLiteral("Replace folder selection?"), QStringLiteral("Replace"), QString()};
}

ContentView::ContentView(DesktopAppModel& model, QSettings& settings, QWidget* parent)
    : QWidget(parent), model_(&model), settings_(settings) {
    setObjectName(QStringLiteral("contentView"));
    setMinimumSize(minimumWidth, minimumHeight);
    // A click where no control is takes the focus here, away from a text
    // whose selection it ends.
    setFocusPolicy(Qt::ClickFocus);
    // Controls that draw in the system's highlight colour take the accent.
    QPalette tinted = palette();
    tinted.setColor(QPalette::Highlight, DesktopPalette::accent());
    tinted.setColor(QPalette::HighlightedText, DesktopPalette::text());
    setPalette(tinted);

    sidebar_ = new DesktopSidebarView(model);
    split_ = new QSplitter(Qt::Horizontal);
    split_->setChildrenCollapsible(false);
    split_->setHandleWidth(1);
    split_->setStyleSheet(QStringLiteral("QSplitter::handle { background: %1; }")
                              .arg(DesktopPalette::border().name(QColor::HexRgb)));
    split_->addWidget(sidebar_);
    split_->setStretchFactor(0, 0);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split_);

    connect(sidebar_, &DesktopSidebarView::destinationClicked, this,
            [this](DesktopDestination destination) { setSelectedDestination(destination); });
    connect(&model, &DesktopAppModel::pendingFolderSelectionConfirmationChanged, this, &ContentView::updateAlert);

    detailMinimumWidth_ = widestScreenMinimum(model);
    showDestination(selectedDestination());
    split_->setSizes({DesktopSidebarView::idealWidth, minimumWidth});
}

ContentView::~ContentView() {
    if (alert_) {
        alert_->disconnect(this);
        delete alert_;
    }
}

DesktopDestination ContentView::selectedDestination() const {
    const QString stored = settings_.value(QString::fromLatin1(destinationKey),
                                           desktop_destination::rawValue(DesktopDestination::overview))
                               .toString();
    return desktop_destination::fromRawValue(stored).value_or(DesktopDestination::overview);
}

void ContentView::setSelectedDestination(std::optional<DesktopDestination> destination) {
    const DesktopDestination chosen = destination.value_or(DesktopDestination::overview);
    // Like every file of the agent's state, for the owner's eyes only from
    // the moment it exists, before anything is written to it: the settings
    // keep the permissions of the file they rewrite.
    const QString file = settings_.fileName();
    constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!file.isEmpty() && !QFile::exists(file)) {
        QFile(file).open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly);
    } else if (!file.isEmpty() && QFile::permissions(file) != ownerOnly) {
        QFile::setPermissions(file, ownerOnly); // left by an older version
    }
    settings_.setValue(QString::fromLatin1(destinationKey), desktop_destination::rawValue(chosen));
    settings_.sync();
    if (!scaffold_ || scaffold_->destination() != chosen) showDestination(chosen);
}

DesktopScreenView* ContentView::makeScreen(DesktopAppModel& model, DesktopDestination destination) {
    switch (destination) {
    case DesktopDestination::overview: return new DesktopOverviewView(model);
    case DesktopDestination::sync: return new DesktopSyncView(model);
    case DesktopDestination::activity: return new DesktopActivityView(model);
    }
    return new DesktopOverviewView(model);
}

int ContentView::widestScreenMinimum(DesktopAppModel& model) {
    // Each screen built once, off screen and without its page, and measured
    // in the state it was built in and then in the other one; the header
    // alone likewise. What a sign-in or a click on a row shows next then
    // never needs more room than the divider leaves.
    const bool signedIn = model.currentUser().has_value();
    int widest = 0;
    for (DesktopDestination destination : desktop_destination::allCases) {
        std::unique_ptr<DesktopScreenView> screen(makeScreen(model, destination));
        DesktopDetailScaffold header(model, destination, nullptr);
        for (const bool state : {signedIn, !signedIn}) {
            screen->showAs(state);
            header.showAs(state);
            widest = std::max({widest, header.minimumSizeHint().width(),
                               screen->minimumSizeHint().width() + 2 * DesktopDetailScaffold::kPageMargin});
        }
    }
    return widest;
}

void ContentView::showDestination(DesktopDestination destination) {
    if (!model_) return;
    auto* next = new DesktopDetailScaffold(*model_, destination, makeScreen(*model_, destination));
    next->setObjectName(QStringLiteral("detail"));
    next->setMinimumPageWidth(detailMinimumWidth_);
    if (scaffold_) {
        const QList<int> sizes = split_->sizes();
        split_->replaceWidget(1, next);
        scaffold_->hide();
        scaffold_->deleteLater();
        split_->setSizes(sizes);
    } else {
        split_->addWidget(next);
    }
    split_->setStretchFactor(1, 1);
    scaffold_ = next;
    sidebar_->setActiveDestination(destination);
}

void ContentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), DesktopPalette::page());

    QLinearGradient wash(QPointF(width() / 2.0, 0), QPointF(width() / 2.0, height()));
    QColor white(Qt::white);
    white.setAlphaF(0.56f);
    QColor clearWhite(Qt::white);
    clearWhite.setAlphaF(0.0f);
    wash.setColorAt(0.0, white);
    wash.setColorAt(1.0, clearWhite);
    painter.fillRect(rect(), wash);

    // The accent glow: full strength within 10 px of the top-left corner,
    // fading to nothing at 560 px.
    constexpr qreal inner = 10;
    constexpr qreal outer = 560;
    QRadialGradient glow(QPointF(0, 0), outer);
    const QColor glowColour = DesktopPalette::withOpacity(DesktopPalette::accent(), 0.16);
    glow.setColorAt(0.0, glowColour);
    glow.setColorAt(inner / outer, glowColour);
    glow.setColorAt(1.0, DesktopPalette::withOpacity(DesktopPalette::accent(), 0.0));
    painter.fillRect(rect(), glow);
}

void ContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (bootstrapStarted_ || !model_) return;
    bootstrapStarted_ = true;
    model_->bootstrap();
    // A question may already be pending when the window appears.
    updateAlert();
}

void ContentView::updateAlert() {
    if (!model_) return;
    const auto pending = model_->pendingFolderSelectionConfirmation();
    if (!pending) {
        if (alert_) alert_->reject(); // ends in alertFinished()
        return;
    }
    if (!isVisible()) return; // asked once the window is shown
    const ConfirmationTexts texts = confirmationTexts(pending);
    if (!alert_) {
        alert_ = new QMessageBox(this);
        alert_->setObjectName(QStringLiteral("folderReplacementAlert"));
        alert_->setIcon(QMessageBox::Question);
        alert_->setWindowModality(Qt::WindowModal);
        confirmButton_ = alert_->addButton(texts.confirmButton, QMessageBox::AcceptRole);
        QPushButton* cancel = alert_->addButton(tr("Cancel"), QMessageBox::RejectRole);
        alert_->setDefaultButton(qobject_cast<QPushButton*>(confirmButton_));
        alert_->setEscapeButton(cancel);
        connect(alert_, &QMessageBox::finished, this, &ContentView::alertFinished);
        alert_->setText(texts.title);
        alert_->setInformativeText(texts.message);
        alert_->setWindowTitle(texts.title);
        alert_->open();
        return;
    }
    // A newer question replaces the one on screen.
    confirmButton_->setText(texts.confirmButton);
    alert_->setText(texts.title);
    alert_->setInformativeText(texts.message);
    alert_->setWindowTitle(texts.title);
}

void ContentView::alertFinished() {
    QMessageBox* box = alert_;
    if (!box) return;
    const bool confirmed = box->clickedButton() == confirmButton_;
    alert_ = nullptr;
    confirmButton_ = nullptr;
    box->deleteLater();
    if (!model_) return;
    if (confirmed) model_->confirmPendingFolderSelection();
    // Every way the question goes away ends it.
    model_->cancelPendingFolderSelection();
}

} // namespace tarnwell
