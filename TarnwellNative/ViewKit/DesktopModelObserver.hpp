// Runs a view's refresh once per frame at most, however many of the model's
// change signals fire in between: a burst of engine events (a log line and a
// progress snapshot per scanned file) becomes one refresh.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

namespace tarnwell {

class DesktopModelObserver : public QObject {
    Q_OBJECT
public:
    static constexpr int kFrameMs = 16;

    DesktopModelObserver(std::function<void()> refresh, QObject* parent);

    template <class Sender, class Signal>
    void watch(const Sender* sender, Signal signal) {
        connect(sender, signal, this, &DesktopModelObserver::schedule);
    }

    // Asks for a refresh at the next frame (a pending one absorbs it).
    void schedule();
    // Runs a pending refresh now.
    void flush();
    bool isPending() const { return timer_.isActive(); }

private:
    std::function<void()> refresh_;
    QTimer timer_;
};

}  // namespace tarnwell
