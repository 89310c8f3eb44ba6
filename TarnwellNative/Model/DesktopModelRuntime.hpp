// The application model's runtime: the threads its work runs on away from
// the GUI thread, and the one way back.
//
// - The lane: one thread serving calls to the engine and to the saved
//   session first come, first served. A start hands its long work to a
//   thread of its own once it has claimed the run, so the call after it (a
//   stop) is served between the steps of its initial scan.
// - Workers: one thread per remote read, joined on the GUI thread as soon as
//   it has finished.
// - The mailbox: every outcome and every engine report reaches the GUI
//   thread through it, in the order it happened. An outcome is applied at
//   the next turn of the event loop; engine reports wait for the next frame
//   and are applied together, at most once per frame.
//
// Threading: the runtime is made, used and destroyed on the GUI thread; only
// the engine's handlers are called elsewhere. close() lets nothing more be
// applied and asks every piece of work to stop; join() then waits for every
// thread, while the services that work uses still exist. Nothing is applied
// after close(), and no thread outlives the runtime.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "State/SharedModels.hpp"

namespace tarnwell {

class DesktopModelWake;

// What a piece of background work came to: its value, or the text its error
// shows the user and the error itself, for telling kinds of failure apart.
template <class T>
struct Outcome {
    std::optional<T> value;
    QString error;
    std::exception_ptr failure;
    bool ok() const { return value.has_value(); }
};

// Engine reports that followed each other, merged: the newest log lines (at
// most the log's bound), the newest progress and the newest count.
struct EngineReports {
    QStringList lines;
    std::optional<IndexingProgressSnapshot> progress;
    std::optional<qint64> unsupported;
};

class DesktopModelRuntime {
public:
    // What a call on the lane may see of it.
    struct Lane {
        // How often the saved session changed hands through the lane; lane
        // thread only.
        std::uint64_t accountChanges = 0;
    };

    // `context` is the GUI thread's object that outcomes and reports are
    // applied on behalf of; `applyReports` applies a merged batch there.
    DesktopModelRuntime(QObject* context, std::function<void(EngineReports&)> applyReports, int maxLogLines);
    // close() and join(), if the owner has not.
    ~DesktopModelRuntime();

    DesktopModelRuntime(const DesktopModelRuntime&) = delete;
    DesktopModelRuntime& operator=(const DesktopModelRuntime&) = delete;

    // Runs work(stop) on a worker thread of its own, then apply(outcome) on
    // the GUI thread.
    template <class Work, class Apply>
    void inBackground(Work work, Apply apply);
    // Runs work(stop, lane) on the lane after every call made before it, then
    // apply(outcome) on the GUI thread.
    template <class Work, class Apply>
    void onLane(Work work, Apply apply);
    // Runs start(claimed) from the lane on a thread of its own; the lane
    // moves on once the start has called claimed() (or returned), and
    // apply(outcome) runs when it returns. The outcome's value says whether
    // the start ran at all: `unlessAccountChangedSince` (a count of the
    // lane's account changes) skips it when the saved session has changed
    // hands since then.
    void startOnLane(std::function<void(const std::function<void()>& claimed)> start,
                     std::optional<std::uint64_t> unlessAccountChangedSince,
                     std::function<void(Outcome<bool>)> apply);

    // The engine's handlers: they post and return, and do nothing once the
    // runtime has closed.
    std::function<void(const std::string&)> logHandler() const;
    std::function<void(const IndexingProgressSnapshot&)> indexingHandler() const;
    std::function<void(std::int64_t)> unsupportedFilesHandler() const;

    void close();
    void join();

private:
    struct Mailbox;
    struct LaneThread;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void deliver();
    void post(std::function<void()> result);
    void enqueue(std::function<void(std::stop_token, LaneThread&)> job);
    void reapWorkers();
    static void joinFinished(std::list<Worker>& workers);
    void addWorker(std::thread thread, std::shared_ptr<std::atomic<bool>> finished);
    std::stop_token stopToken() const { return shutdown_.get_token(); }
    static QString describe(std::exception_ptr error);
    static Lane& view(LaneThread& lane);

    template <class Value, class Work>
    static Outcome<Value> runCatching(Work&& work) {
        Outcome<Value> outcome;
        try {
            if constexpr (std::is_void_v<decltype(work())>) {
                work();
                outcome.value.emplace();
            } else {
                outcome.value.emplace(work());
            }
        } catch (...) {
            outcome.failure = std::current_exception();
            outcome.error = describe(outcome.failure);
        }
        return outcome;
    }
    template <class Raw>
    using ValueOf = std::conditional_t<std::is_void_v<Raw>, std::monostate, Raw>;

    QObject* context_;
    std::function<void(EngineReports&)> applyReports_;
    std::shared_ptr<Mailbox> mailbox_;
    // When the mailbox was last emptied, and the wake-up for reports that
    // wait for the next frame.
    QElapsedTimer lastDelivery_;
    QTimer frameTimer_;
    // Its queued signal wakes the GUI thread from any thread.
    std::unique_ptr<DesktopModelWake> wake_;
    std::stop_source shutdown_;
    std::list<Worker> workers_; // GUI thread only
    std::unique_ptr<LaneThread> lane_;
};

template <class Work, class Apply>
void DesktopModelRuntime::inBackground(Work work, Apply apply) {
    using Value = ValueOf<std::invoke_result_t<Work&, std::stop_token>>;
    reapWorkers();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([this, stop = stopToken(), work = std::move(work), apply = std::move(apply),
                        finished]() mutable {
        auto outcome = std::make_shared<Outcome<Value>>(runCatching<Value>([&] { return work(stop); }));
        post([apply = std::move(apply), outcome]() mutable { apply(std::move(*outcome)); });
        finished->store(true);
    });
    addWorker(std::move(thread), std::move(finished));
}

template <class Work, class Apply>
void DesktopModelRuntime::onLane(Work work, Apply apply) {
    using Value = ValueOf<std::invoke_result_t<Work&, std::stop_token, Lane&>>;
    enqueue([this, work = std::move(work), apply = std::move(apply)](std::stop_token stop,
                                                                      LaneThread& lane) mutable {
        auto outcome = std::make_shared<Outcome<Value>>(runCatching<Value>([&] { return work(stop, view(lane)); }));
        post([apply = std::move(apply), outcome]() mutable { apply(std::move(*outcome)); });
    });
}

} // namespace tarnwell
