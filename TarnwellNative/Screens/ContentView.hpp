// The content of the window while the model exists: the sidebar and the
// selected screen inside its detail scaffold, side by side, over the layered
// window background. It remembers the selected screen, starts the model's
// bootstrap when first shown, and asks before a folder selection is replaced.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>

#include "Model/DesktopAppModel.hpp"
#include "Model/DesktopDestination.hpp"

#include <QMessageBox>
class QAbstractButton;
class QSettings;
class QSplitter;

namespace tarnwell {

class DesktopDetailScaffold;
class DesktopScreenView;
class DesktopSidebarView;

class ContentView : public QWidget {
    Q_OBJECT
public:
    // The settings key of the selected screen's raw value.
    static constexpr const char* destinationKey = "desktop.destination";
    static constexpr int minimumWidth = 1120;
    static constexpr int minimumHeight = 760;

    // The texts of the replacement question for a pending choice (or none).
    struct ConfirmationTexts {
        QString title;
        QString confirmButton;
        QString message;
    };
    static ConfirmationTexts confirmationTexts(const std::optional<FolderSelectionConfirmation>& pending);

    ContentView(DesktopAppModel& model, QSettings& settings, QWidget* parent = nullptr);
    ~ContentView() override;

    // The stored screen; the overview when nothing or no known screen is stored.
    DesktopDestination selectedDestination() const;
    // Stores the screen's raw value ("overview" for none) and shows it.
    void setSelectedDestination(std::optional<DesktopDestination> destination);

    // The least width of the detail column that every screen, signed in
    // and signed out, can be drawn in: the divider stops there.
    int detailMinimumWidth() const { return detailMinimumWidth_; }

    DesktopSidebarView* sidebar() const { return sidebar_; }
    DesktopDetailScaffold* scaffold() const { return scaffold_; }
    // The open replacement question, if any.
    QMessageBox* folderReplacementAlert() const { return alert_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void showDestination(DesktopDestination destination);
    static DesktopScreenView* makeScreen(DesktopAppModel& model, DesktopDestination destination);
    // The widest of every screen's least width, in both sign-in states.
    static int widestScreenMinimum(DesktopAppModel& model);
    void updateAlert();
    void alertFinished();

    QPointer<DesktopAppModel> model_;
    QSettings& settings_;
    QSplitter* split_;
    DesktopSidebarView* sidebar_;
    DesktopDetailScaffold* scaffold_ = nullptr;
    QPointer<QMessageBox> alert_;
    QAbstractButton* confirmButton_ = nullptr;
    bool bootstrapStarted_ = false;
    int detailMinimumWidth_ = 0;
};

} // namespace tarnwell
