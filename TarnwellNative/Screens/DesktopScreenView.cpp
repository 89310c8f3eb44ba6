#include "Screens/DesktopScreenView.hpp"

#include "ViewKit/DesktopModelObserver.hpp"

namespace tarnwell {

DesktopScreenView::DesktopScreenView(DesktopAppModel& model, const QString& name,
                                     std::initializer_list<ModelSignal> watched, QWidget* parent)
    : QWidget(parent), model_(&model), body_(new QVBoxLayout(this)) {
    setObjectName(name);
    body_->setContentsMargins(0, 0, 0, 0);
    body_->setSpacing(24);
    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    for (ModelSignal signal : watched) observer_->watch(&model, signal);
}

void DesktopScreenView::showAs(bool signedIn) {
    shownAs_ = signedIn;
    refresh();
}

bool DesktopScreenView::shownSignedIn() const {
    return shownAs_.value_or(model_ && model_->currentUser().has_value());
}

void DesktopScreenView::refreshNow() {
    observer_->flush();
    refresh();
}

} // namespace tarnwell
