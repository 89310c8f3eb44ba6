// Folder watching and the debounced per-folder rescans.
#include "Sync/SyncCoordinator.hpp"

#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "Sync/DirectoryEventStream.hpp"
#include "Sync/FileRules.hpp"

namespace tarnwell {

void SyncCoordinator::startEventStream(const std::vector<std::string>& roots, RunID run) {
    auto stream = std::make_unique<DirectoryEventStream>(
        roots,
        [this, run](const std::vector<std::string>& paths) { handleEventPaths(paths, run); },
        [](const std::string& folderName, bool inFilesystemRoot) {
            return FileRules::shouldSkipDirectory(folderName, inFilesystemRoot);
        },
        [this](const std::string& message) { log(message); }, timing_.eventLatency, timing_.folderCheckInterval);
    stream->setOnFolderAvailability([this, run](const std::string& root, bool available, const std::string& reason) {
        if (!isLive(run)) return;
        if (available) {
            log("Folder is back: " + root + "; watching it again and rescanning it.");
        } else {
            log("Folder unavailable: " + root + " (" + reason + "); watching for its return.");
        }
    });
    stream->start();

    std::unique_ptr<DirectoryEventStream> replaced;
    bool kept = false;
    {
        std::lock_guard lock(mutex_);
        if (isLiveLocked(run)) {
            replaced = std::move(eventStream_);
            eventStream_ = std::move(stream);
            holdingEvents_ = true;
            heldRescans_.clear();
            kept = true;
        }
    }
    if (replaced) replaced->stop();
    // Otherwise the run was stopped while the watch was being set up.
    if (!kept) stream->stop();
}

void SyncCoordinator::tellMountChanges(const std::string& root, const std::vector<MountGuard::Change>& changes) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        std::map<std::string, std::string> now;
        auto& told = mountChangesTold_[root];
        for (const auto& change : changes) {
            now.emplace(change.folder, change.key);
            const auto before = told.find(change.folder);
            if (before == told.end() || before->second != change.key) lines.push_back(change.line);
        }
        told = std::move(now);
    }
    for (const auto& line : lines) log(line);
}

bool SyncCoordinator::releaseHeldEvents(const std::vector<std::string>& roots, RunID run) {
    if (!isLive(run)) return false;
    log("Watching " + [&] {
        std::string text;
        for (std::size_t i = 0; i < roots.size(); ++i) text += (i > 0 ? ", " : "") + roots[i];
        return text;
    }() + " ...");
    std::optional<std::string> failure;
    {
        std::lock_guard lock(mutex_);
        if (!isLiveLocked(run)) return false;
        holdingEvents_ = false;
        const std::set<std::string> changed = std::move(heldRescans_);
        heldRescans_.clear();
        for (const auto& root : changed) {
            try {
                scheduleRescanLocked(root, run);
            } catch (const std::system_error& error) {
                failure = "Rescan failed for " + root + ": " + error.what();
            }
        }
    }
    if (failure) log(*failure);
    return true;
}

void SyncCoordinator::handleEventPaths(const std::vector<std::string>& paths, RunID run) {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(mutex_);
        if (!isLiveLocked(run)) return;
        std::set<std::string> touched;
        for (const auto& path : paths) {
            // A change belongs to the innermost folder that holds it, the
            // one that owns its files.
            const std::string standardized = FileRules::standardizedPath(path).string();
            const std::string* owner = nullptr;
            for (const auto& root : roots_) {
                if (FileRules::isAtOrBelow(standardized, root) && (!owner || root.size() > owner->size())) {
                    owner = &root;
                }
            }
            if (owner) touched.insert(*owner);
        }
        if (holdingEvents_) {
            // The initial scans are still running; they may not have reached
            // the change yet, or may have passed it.
            heldRescans_.merge(touched);
            return;
        }
        for (const auto& root : touched) {
            try {
                scheduleRescanLocked(root, run);
            } catch (const std::system_error& error) {
                failure = "Rescan failed for " + root + ": " + error.what();
            }
        }
    }
    if (failure) log(*failure);
    reapFinishedRescans();
}

void SyncCoordinator::scheduleRescanLocked(const std::string& root, RunID run) {
    if (auto existing = rescanTasks_.find(root); existing != rescanTasks_.end()) {
        // Cancelled, not joined: it may be inside a request right now. It is
        // joined once it has finished, or when the coordinator goes away.
        existing->second->cancel.request_stop();
        retiredRescans_.push_back(std::move(existing->second));
        rescanTasks_.erase(existing);
    }
    auto task = std::make_unique<RescanTask>();
    RescanTask* raw = task.get();
    task->thread = std::thread(&SyncCoordinator::runRescan, this, root, run, task->cancel.get_token(), raw);
    rescanTasks_.emplace(root, std::move(task));
}

void SyncCoordinator::runRescan(std::string root, RunID run, std::stop_token cancel, RescanTask* task) {
    try {
        pause(timing_.rescanDelay, cancel);
    } catch (const CancellationError&) {
        task->finished = true;
        return;
    }
    if (!cancel.stop_requested()) {
        try {
            scan(root, "Rescan", false, run, cancel);
        } catch (const std::exception& error) {
            log("Rescan failed for " + root + ": " + error.what());
        } catch (...) {
            log("Rescan failed for " + root + ": unknown error");
        }
    }
    task->finished = true;
}

void SyncCoordinator::reapFinishedRescans() {
    std::vector<std::unique_ptr<RescanTask>> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = retiredRescans_.begin(); it != retiredRescans_.end();) {
            if ((*it)->finished) {
                finished.push_back(std::move(*it));
                it = retiredRescans_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& task : finished) {
        if (task->thread.joinable()) task->thread.join();
    }
}

void SyncCoordinator::pause(std::chrono::nanoseconds delay, std::stop_token cancel) {
    if (cancel.stop_requested()) throw CancellationError();
    if (delay <= std::chrono::nanoseconds::zero()) return;
    std::unique_lock lock(sleepMutex_);
    sleepCondition_.wait_for(lock, cancel, delay, [] { return false; });
    if (cancel.stop_requested()) throw CancellationError();
}

} // namespace tarnwell
