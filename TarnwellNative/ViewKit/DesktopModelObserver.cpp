#include "ViewKit/DesktopModelObserver.hpp"

namespace tarnwell {

DesktopModelObserver::DesktopModelObserver(std::function<void()> refresh, QObject* parent)
    : QObject(parent), refresh_(std::move(refresh)) {
    timer_.setSingleShot(true);
    timer_.setInterval(kFrameMs);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { refresh_(); });
}

void DesktopModelObserver::schedule() {
    if (!timer_.isActive()) {
        timer_.start();
    }
}

void DesktopModelObserver::flush() {
    if (timer_.isActive()) {
        timer_.stop();
        refresh_();
    }
}

}  // namespace tarnwell
