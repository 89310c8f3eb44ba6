#include "Model/DesktopModelRuntime.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>

namespace tarnwell {

// Wakes the GUI thread from any thread with a queued signal: Qt makes the
// event and hands it over itself, where a posted functor would carry memory
// of ours from one thread to the other behind Qt's own locks.
class DesktopModelWake : public QObject {
    Q_OBJECT
signals:
    void wake();
};

// ---- The way back to the GUI thread ---------------------------------------------

// Outcomes of background work and the engine's reports, in the order they
// happened. Worker threads and the engine's threads fill it; the GUI thread
// empties it in order. Reports that follow each other without an outcome in
// between share one entry, so a flood of per-file reports costs one hop per
// batch; log lines beyond the log's bound would be cut anyway, so an entry
// keeps only the newest ones.
struct DesktopModelRuntime::Mailbox {
    struct Entry {
        std::function<void()> result; // empty for a batch of engine reports
        EngineReports reports;
    };

    std::mutex mutex;
    DesktopModelRuntime* runtime = nullptr; // cleared when the runtime closes
    int maxLines = 0;
    std::deque<Entry> entries;
    bool wakeScheduled = false;
    // The frame timer runs: reports wait for it without a wake-up of their
    // own, and only an outcome wakes the GUI thread before then.
    bool deferred = false;

    template <class Change>
    void report(Change change) {
        std::lock_guard lock(mutex);
        if (!runtime) return;
        if (entries.empty() || entries.back().result) entries.emplace_back();
        change(entries.back().reports);
        wakeLocked();
    }

    void post(std::function<void()> result) {
        std::lock_guard lock(mutex);
        if (!runtime) return;
        entries.push_back(Entry{std::move(result), {}});
        wakeLocked(true);
    }

    // Signalled under the lock: the runtime can't close meanwhile, and a
    // wake-up still queued when its context goes is discarded with it.
    void wakeLocked(bool result = false) {
        if (wakeScheduled || (deferred && !result)) return;
        wakeScheduled = true;
        emit runtime->wake_->wake();
    }
};

// Engine reports are applied at most once per frame: a sync reports every
// file, and applying each report on its own costs the GUI thread far more
// than applying a frame's worth at once. Outcomes are applied at once.
//
// While reports flow, the frame timer alone wakes the GUI thread, once per
// frame, and a report only joins the batch under the lock: it posts nothing.
// The timer runs on after each batch it applies and stops at the first frame
// with nothing to apply; the first report after that wakes the GUI thread
// itself. The views' own frame timers, started by a batch, fall due with the
// next one, so a frame applies one batch and redraws once.
static constexpr std::chrono::milliseconds reportInterval{16};

void DesktopModelRuntime::deliver() {
    std::size_t count = 0;
    {
        std::lock_guard lock(mailbox_->mutex);
        if (!mailbox_->runtime) return;
        mailbox_->wakeScheduled = false;
        count = mailbox_->entries.size();
        if (count == 0) {
            // A quiet frame: the next report wakes the GUI thread at once.
            mailbox_->deferred = false;
            frameTimer_.stop();
            return;
        }
        const bool onlyReports = std::none_of(mailbox_->entries.begin(), mailbox_->entries.end(),
                                              [](const Mailbox::Entry& entry) { return bool(entry.result); });
        const auto sinceLast = std::chrono::milliseconds(lastDelivery_.isValid() ? lastDelivery_.elapsed()
                                                                                : reportInterval.count());
        if (onlyReports && sinceLast < reportInterval) {
            mailbox_->deferred = true;
            if (!frameTimer_.isActive()) frameTimer_.start(reportInterval - sinceLast);
            return;
        }
        // Applied now; what arrives from here on waits for the next frame.
        mailbox_->deferred = true;
    }
    lastDelivery_.start();
    frameTimer_.start(reportInterval);
    // Only what is there now: what arrives meanwhile waits for its own turn,
    // so a steady flood never keeps the event loop from turning. One entry at a
    // time, so that an entry applied from a nested event loop keeps its place.
    for (std::size_t i = 0; i < count; ++i) {
        Mailbox::Entry entry;
        {
            std::lock_guard lock(mailbox_->mutex);
            if (mailbox_->entries.empty() || !mailbox_->runtime) return;
            entry = std::move(mailbox_->entries.front());
            mailbox_->entries.pop_front();
        }
        if (entry.result) {
            entry.result();
            continue;
        }
        applyReports_(entry.reports);
    }
}

void DesktopModelRuntime::post(std::function<void()> result) { mailbox_->post(std::move(result)); }

std::function<void(const std::string&)> DesktopModelRuntime::logHandler() const {
    return [weak = std::weak_ptr<Mailbox>(mailbox_)](const std::string& line) {
        if (auto mailbox = weak.lock()) {
            mailbox->report([&](EngineReports& reports) {
                reports.lines << QString::fromStdString(line);
                if (reports.lines.size() > mailbox->maxLines) reports.lines.removeFirst();
            });
        }
    };
}

std::function<void(const IndexingProgressSnapshot&)> DesktopModelRuntime::indexingHandler() const {
    return [weak = std::weak_ptr<Mailbox>(mailbox_)](const IndexingProgressSnapshot& snapshot) {
        if (auto mailbox = weak.lock()) mailbox->report([&](EngineReports& reports) { reports.progress = snapshot; });
    };
}

std::function<void(std::int64_t)> DesktopModelRuntime::unsupportedFilesHandler() const {
    return [weak = std::weak_ptr<Mailbox>(mailbox_)](std::int64_t count) {
        if (auto mailbox = weak.lock()) mailbox->report([&](EngineReports& reports) { reports.unsupported = count; });
    };
}

// ---- Workers ----------------------------------------------------------------------

void DesktopModelRuntime::addWorker(std::thread thread, std::shared_ptr<std::atomic<bool>> finished) {
    workers_.push_back(Worker{std::move(thread), std::move(finished)});
}

// Joins the threads that said they are done; the others go on.
void DesktopModelRuntime::joinFinished(std::list<Worker>& workers) {
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

void DesktopModelRuntime::reapWorkers() { joinFinished(workers_); }

// ---- The lane ---------------------------------------------------------------------

// One thread serving calls first come, first served. A start's long work runs
// on a thread of its own (a tail); the lane joins tails as they finish, and
// all of them when the runtime goes.
struct DesktopModelRuntime::LaneThread {
    using Job = std::function<void(std::stop_token, LaneThread&)>;

    std::mutex mutex;
    std::condition_variable_any wake;
    std::deque<Job> jobs;
    std::thread thread;
    // Lane thread only (and join(), once that thread is joined).
    std::list<Worker> tails;
    Lane state;

    void start(std::stop_token stop) {
        thread = std::thread([this, stop] {
            for (;;) {
                Job job;
                {
                    std::unique_lock lock(mutex);
                    if (!wake.wait(lock, stop, [this] { return !jobs.empty(); })) return;
                    job = std::move(jobs.front());
                    jobs.pop_front();
                }
                job(stop, *this);
                job = nullptr;
                reapTails();
            }
        });
    }
    void enqueue(Job job) {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_one();
    }
    void reapTails() { joinFinished(tails); }
    // After the stop was requested: the calls under way end soon.
    void joinAll() {
        if (thread.joinable()) thread.join();
        for (Worker& tail : tails) tail.thread.join();
        tails.clear();
        std::lock_guard lock(mutex);
        jobs.clear();
    }
};

DesktopModelRuntime::Lane& DesktopModelRuntime::view(LaneThread& lane) { return lane.state; }

void DesktopModelRuntime::enqueue(std::function<void(std::stop_token, LaneThread&)> job) {
    lane_->enqueue(std::move(job));
}

void DesktopModelRuntime::startOnLane(std::function<void(const std::function<void()>& claimed)> start,
                                      std::optional<std::uint64_t> unlessAccountChangedSince,
                                      std::function<void(Outcome<bool>)> apply) {
    enqueue([this, start = std::move(start), unlessAccountChangedSince, apply = std::move(apply)](
                std::stop_token, LaneThread& lane) mutable {
        if (unlessAccountChangedSince && *unlessAccountChangedSince != lane.state.accountChanges) {
            post([apply = std::move(apply)]() mutable { apply(Outcome<bool>{false, {}, {}}); });
            return;
        }
        auto begun = std::make_shared<std::promise<void>>();
        auto once = std::make_shared<std::once_flag>();
        std::function<void()> claimed = [begun, once] { std::call_once(*once, [&] { begun->set_value(); }); };
        std::future<void> claim = begun->get_future();
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread tail([this, start = std::move(start), apply = std::move(apply), claimed, finished]() mutable {
            auto outcome = std::make_shared<Outcome<bool>>(runCatching<bool>([&] {
                start(claimed);
                return true;
            }));
            claimed();
            post([apply = std::move(apply), outcome]() mutable { apply(std::move(*outcome)); });
            finished->store(true);
        });
        lane.tails.push_back(Worker{std::move(tail), std::move(finished)});
        claim.wait();
    });
}

// ---- Construction and teardown --------------------------------------------------

DesktopModelRuntime::DesktopModelRuntime(QObject* context, std::function<void(EngineReports&)> applyReports,
                                         int maxLogLines)
    : context_(context),
      applyReports_(std::move(applyReports)),
      mailbox_(std::make_shared<Mailbox>()),
      lane_(std::make_unique<LaneThread>()) {
    frameTimer_.setSingleShot(true);
    frameTimer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&frameTimer_, &QTimer::timeout, context_, [this] { deliver(); });
    wake_ = std::make_unique<DesktopModelWake>();
    QObject::connect(wake_.get(), &DesktopModelWake::wake, context_, [this] { deliver(); }, Qt::QueuedConnection);
    mailbox_->maxLines = maxLogLines;
    mailbox_->runtime = this;
    lane_->start(shutdown_.get_token());
}

DesktopModelRuntime::~DesktopModelRuntime() {
    close();
    join();
}

void DesktopModelRuntime::close() {
    {
        std::lock_guard lock(mailbox_->mutex);
        mailbox_->runtime = nullptr;
    }
    frameTimer_.stop();
    shutdown_.request_stop();
}

void DesktopModelRuntime::join() {
    lane_->joinAll();
    for (Worker& worker : workers_) worker.thread.join();
    workers_.clear();
}

QString DesktopModelRuntime::describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

} // namespace tarnwell

#include "DesktopModelRuntime.moc"
