// The activity screen: the whole live log, the recent failed uploads with
// the retry button, and the hosted side's view of ingest and retries.
// Signed out, the sign-in card and a short explainer.
#pragma once

#include "Screens/DesktopScreenView.hpp"

#include <QPointer>
#include <QWidget>

#include <optional>

class QVBoxLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopMetricCard;
class DesktopModelObserver;

class DesktopActivityView : public DesktopScreenView {
    Q_OBJECT
public:
    explicit DesktopActivityView(DesktopAppModel& model, QWidget* parent = nullptr);

private:
    void refresh() override;
    void build(bool signedIn);

    DesktopMetricCard* ingestionTile_ = nullptr;
    DesktopMetricCard* retryTile_ = nullptr;
};

} // namespace tarnwell
