// The overview screen. Signed out: the sign-in card, the hero panel with the
// first uses and four narrative cards. Signed in: the hero panel with the
// operating facts, three summary tiles, the indexing card, the current
// workspace beside recent activity, and the failed uploads while there is
// something to report. Reads the model only.
#pragma once

#include "Screens/DesktopScreenView.hpp"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <optional>

class QLabel;
class QVBoxLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopCallout;
class DesktopFailedUploadsCard;
class DesktopFolderBox;
class DesktopMetricCard;
class DesktopModelObserver;
class DesktopSelectableText;
class DesktopStatusChip;

class DesktopOverviewView : public DesktopScreenView {
    Q_OBJECT
public:
    explicit DesktopOverviewView(DesktopAppModel& model, QWidget* parent = nullptr);

    // The fixed texts of the hero panel for a sign-in state.
    static QString heroTitle(bool signedIn);
    static QString heroSubtitle(bool signedIn);
    // The accent chip's text while nobody is signed in.
    static QString signedOutChipText();

private:
    void refresh() override;
    void build(bool signedIn);
    QWidget* makeHeroPanel(bool signedIn);
    QWidget* makeWorkspacePanel();


    // Parts that follow the model; null when the layout lacks them.
    DesktopStatusChip* folderChip_ = nullptr;
    DesktopMetricCard* foldersTile_ = nullptr;
    DesktopMetricCard* modeTile_ = nullptr;
    DesktopMetricCard* runTile_ = nullptr;
    DesktopSelectableText* runFact_ = nullptr;
    DesktopSelectableText* selectionFact_ = nullptr;
    DesktopCallout* noFolders_ = nullptr;
    DesktopFolderBox* folderBox_ = nullptr;
    DesktopFailedUploadsCard* failedUploads_ = nullptr;
};

} // namespace tarnwell
