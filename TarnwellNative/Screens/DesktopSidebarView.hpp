// The left column of the window: the brand, one row per screen, and the
// account card with the "Open dashboard" button. The selection belongs to
// the root view: a click asks for a screen, and the root view tells the
// sidebar which row to draw selected.
#pragma once

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <optional>

#include "Model/DesktopDestination.hpp"

class QLabel;
class QScrollArea;
class QSpacerItem;
class QVBoxLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopButton;
class DesktopFittedText;
class DesktopModelObserver;
class DesktopStatusChip;

// One screen's row: indicator bar, symbol, title and detail line.
// Tabbing to it draws a ring inside its border.
class SidebarDestinationButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SidebarDestinationButton(DesktopDestination destination, QWidget* parent = nullptr);

    DesktopDestination destination() const { return destination_; }
    bool isSelected() const { return selected_; }
    void setSelected(bool selected);

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void applySelection();

    DesktopDestination destination_;
    bool selected_ = false;
    bool keyboardFocus_ = false;
    QWidget* indicator_;
    QLabel* icon_;
};

class DesktopSidebarView : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 310;
    static constexpr int idealWidth = 320;

    explicit DesktopSidebarView(DesktopAppModel& model, QWidget* parent = nullptr);

    // The row drawn selected: the given screen, the overview for none.
    void setActiveDestination(std::optional<DesktopDestination> destination);
    DesktopDestination activeDestination() const { return active_; }

    SidebarDestinationButton* row(DesktopDestination destination) const;
    QWidget* accountCard() const { return accountCard_; }

    QSize sizeHint() const override;
    // Applies the model's current state now instead of at the next frame.
    void refreshNow();

signals:
    // A row was clicked (also the row already selected).
    void destinationClicked(DesktopDestination destination);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    // Narrows the column's vertical margins and free space, evenly and down
    // to half, as far as the column needs to fit the sidebar's height.
    void fitHeight();

    QPointer<DesktopAppModel> model_;
    DesktopDestination active_ = DesktopDestination::overview;
    QList<SidebarDestinationButton*> rows_;
    QScrollArea* scroll_;
    QVBoxLayout* body_;
    QVBoxLayout* headerColumn_;
    QVBoxLayout* workspaceColumn_;
    QSpacerItem* freeSpace_;
    QVBoxLayout* cardMargins_;
    qreal gapScale_ = 1.0;
    QWidget* accountCard_;
    QVBoxLayout* accountLines_;
    // Signed in.
    DesktopFittedText* userLabel_;
    QLabel* folderCount_;
    QWidget* chipRow_;
    DesktopStatusChip* runChip_;
    // Signed out.
    QLabel* signedOutTitle_;
    QLabel* signedOutText_;
    DesktopButton* dashboardButton_;
    DesktopModelObserver* observer_;
};

} // namespace tarnwell
