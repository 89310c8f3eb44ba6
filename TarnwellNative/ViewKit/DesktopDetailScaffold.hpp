// The frame of every screen in the detail column: a header panel with the
// screen's intro on the left and, on the right, the run and ingest chips and
// the "Refresh", "Open dashboard" and "Sign out" buttons; the screen below
// it; both in one vertically scrolling page on the page colour.
#pragma once

#include <QPointer>
#include <QScrollArea>

#include <optional>

#include "Model/DesktopDestination.hpp"

namespace tarnwell {

class DesktopAppModel;
class DesktopButton;
class DesktopModelObserver;
class DesktopSectionIntro;
class DesktopStatusChip;

class DesktopDetailScaffold : public QScrollArea {
    Q_OBJECT
public:
    static constexpr int kColumnMaximumWidth = 430;
    // Around the header and the screen, on every side.
    static constexpr int kPageMargin = 28;
    // The least room between the intro and the status and action column.
    static constexpr int kIntroGap = 24 + 24 + 24;

    // Takes ownership of `content` (none: the header alone).
    DesktopDetailScaffold(DesktopAppModel& model, DesktopDestination destination, QWidget* content,
                          QWidget* parent = nullptr);

    DesktopDestination destination() const { return destination_; }
    QWidget* content() const { return content_; }

    // Applies the model's current state now instead of at the next frame.
    void refreshNow();

    // Shows the header of this sign-in state from now on, whatever the
    // model's: for measuring a state the window is not in.
    void showAs(bool signedIn);

    // As wide as the page can be drawn, however short, and at least
    // `width`: a split view then keeps the room that the widest of several
    // pages needs, whichever is shown.
    void setMinimumPageWidth(int width);
    QSize minimumSizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();

    QPointer<DesktopAppModel> model_;
    DesktopDestination destination_;
    QWidget* content_;
    DesktopSectionIntro* intro_;
    QWidget* chips_;
    DesktopStatusChip* runChip_;
    DesktopStatusChip* ingestChip_;
    DesktopButton* refreshButton_;
    DesktopButton* dashboardButton_;
    DesktopButton* signOutButton_;
    DesktopModelObserver* observer_;
    std::optional<bool> shownAs_;
    int minimumPageWidth_ = 0;
};

}  // namespace tarnwell
