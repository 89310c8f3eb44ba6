// The activity screen: the whole live log, the recent failed uploads with
// the retry button, and the hosted side's view of ingest and retries.
// Signed out, the sign-in card and a short explainer.
#pragma once

#include <QPointer>
#include <QWidget>

#include <optional>

class QVBoxLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopMetricCard;
class DesktopModelObserver;

class DesktopActivityView : public QWidget {
    Q_OBJECT
public:
    explicit DesktopActivityView(DesktopAppModel& model, QWidget* parent = nullptr);

    // Applies the model's current state now instead of at the next frame.
    void refreshNow();

private:
    void refresh();
    void build(bool signedIn);

    QPointer<DesktopAppModel> model_;
    QVBoxLayout* body_;
    std::optional<bool> builtSignedIn_;
    DesktopModelObserver* observer_;
    DesktopMetricCard* ingestionTile_ = nullptr;
    DesktopMetricCard* retryTile_ = nullptr;
};

} // namespace tarnwell
