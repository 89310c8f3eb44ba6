// The sync setup screen: the chosen folders, the selection and run controls,
// the speed profile and the run status, then the indexing card and the
// failed uploads. Signed out, the sign-in card and a short explainer.
#pragma once

#include "Screens/DesktopScreenView.hpp"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <optional>

#include "State/SharedModels.hpp"

class QLabel;
class QVBoxLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopButton;
class DesktopCallout;
class DesktopFolderBox;
class DesktopMetricCard;
class DesktopModelObserver;
class DesktopStatusChip;

// A two-segment picker ("Regular" / "Ultra") bound to the model's mode.
// Its one Tab stop is the selected segment, whoever selected it.
class DesktopSpeedPicker : public QWidget {
    Q_OBJECT
public:
    explicit DesktopSpeedPicker(QWidget* parent = nullptr);

    SyncMode mode() const { return mode_; }
    // Shows a mode chosen elsewhere (the model's).
    void setMode(SyncMode mode);
    QAbstractButton* segment(SyncMode mode) const;

signals:
    // The user picked a segment.
    void modePicked(SyncMode mode);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void select(SyncMode mode);
    void placeTabStop();

    SyncMode mode_ = SyncMode::regular;
    QAbstractButton* regular_;
    QAbstractButton* ultra_;
};

class DesktopSyncView : public DesktopScreenView {
    Q_OBJECT
public:
    explicit DesktopSyncView(DesktopAppModel& model, QWidget* parent = nullptr);

    // The sentence that explains a speed profile.
    static QString modeExplanation(SyncMode mode);

private:
    void refresh() override;
    void build(bool signedIn);


    DesktopStatusChip* runChip_ = nullptr;
    DesktopMetricCard* foldersTile_ = nullptr;
    DesktopMetricCard* speedTile_ = nullptr;
    QLabel* noFolders_ = nullptr;
    DesktopFolderBox* folderBox_ = nullptr;
    DesktopButton* startButton_ = nullptr;
    DesktopSpeedPicker* picker_ = nullptr;
    QLabel* explanation_ = nullptr;
    DesktopCallout* status_ = nullptr;
};

} // namespace tarnwell
