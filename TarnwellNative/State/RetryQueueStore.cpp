#include "State/RetryQueueStore.hpp"

#include <chrono>
#include <cstdio>

#include "State/AppPaths.hpp"
#include "State/AtomicFile.hpp"
#include "State/JSONWriter.hpp"

namespace tarnwell {

namespace fs = std::filesystem;

namespace {

std::optional<std::vector<RetryQueueItem>> decode(const std::string& bytes) {
    nlohmann::json array = nlohmann::json::parse(bytes, nullptr, false);
    if (array.is_discarded() || !array.is_array()) {
        return std::nullopt;
    }
    std::vector<RetryQueueItem> items;
    items.reserve(array.size());
    try {
        for (const auto& element : array) {
            items.push_back(RetryQueueItem::fromJSON(element));
        }
    } catch (const JSONDecodingError&) {
        return std::nullopt;
    }
    return items;
}

std::string encode(const std::vector<RetryQueueItem>& items) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& item : items) {
        array.push_back(item.toJSON());
    }
    return JSONWriter::write(array, {true, true});
}

} // namespace

RetryQueueStore::RetryQueueStore() {
    try {
        url_ = AppPaths::retryQueueFile();
    } catch (...) {
        url_ = "/tmp/qv-retry-queue.json";
        sharedLocation_ = true;
    }
    legacyURL_ = AppPaths::legacyRetryQueueFile();
}

RetryQueueStore::RetryQueueStore(fs::path url, std::optional<fs::path> legacyURL)
    : url_(std::move(url)), legacyURL_(std::move(legacyURL)) {}

std::vector<RetryQueueItem> RetryQueueStore::readLocked() {
    if (auto bytes = AtomicFile::read(url_, sharedLocation_)) {
        return decode(*bytes).value_or(std::vector<RetryQueueItem>{});
    }
    if (!legacyURL_) {
        return {};
    }
    auto legacyBytes = AtomicFile::read(*legacyURL_);
    if (!legacyBytes) {
        return {};
    }
    auto items = decode(*legacyBytes);
    if (!items) {
        return {};
    }
    try {
        writeLocked(*items);
    } catch (const std::exception&) {
        // The next read falls back to the legacy file again.
    }
    return *items;
}

void RetryQueueStore::writeLocked(const std::vector<RetryQueueItem>& items) {
    // A queue file that can't be decoded may still hold uploads a person
    // wants back: keep it under another name instead of overwriting it.
    if (auto existing = AtomicFile::read(url_, sharedLocation_); existing && !decode(*existing)) {
        auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
        fs::path aside = url_;
        aside += ".unreadable-" + std::to_string(stamp);
        std::rename(url_.c_str(), aside.c_str());
    }
    AtomicFile::write(url_, encode(items));
}

std::vector<RetryQueueItem> RetryQueueStore::read() {
    std::lock_guard lock(mutex_);
    return readLocked();
}

void RetryQueueStore::write(const std::vector<RetryQueueItem>& items) {
    std::lock_guard lock(mutex_);
    writeLocked(items);
}

void RetryQueueStore::append(const RetryQueueItem& item) {
    std::lock_guard lock(mutex_);
    auto items = readLocked();
    items.push_back(item);
    writeLocked(items);
}

RetryQueueStore::Partition RetryQueueStore::partition(const std::string& userID) {
    std::lock_guard lock(mutex_);
    Partition result;
    for (auto& item : readLocked()) {
        std::optional<std::string> owner = item.userID ? item.userID : inferredUserID(item.storageKey);
        if (!owner || *owner == userID) {
            result.active.push_back(std::move(item));
        } else {
            result.deferred.push_back(std::move(item));
        }
    }
    return result;
}

void RetryQueueStore::replace(const std::vector<RetryQueueItem>& taken,
                              const std::vector<RetryQueueItem>& replacements) {
    std::lock_guard lock(mutex_);
    auto items = readLocked();
    std::vector<bool> removed(items.size(), false);
    for (const auto& item : taken) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!removed[i] && items[i] == item) {
                removed[i] = true;
                break;
            }
        }
    }
    std::vector<RetryQueueItem> kept;
    kept.reserve(items.size() + replacements.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!removed[i]) {
            kept.push_back(std::move(items[i]));
        }
    }
    kept.insert(kept.end(), replacements.begin(), replacements.end());
    writeLocked(kept);
}

std::optional<std::string> RetryQueueStore::inferredUserID(const std::string& storageKey) {
    static constexpr std::string_view prefix = "user-";
    if (storageKey.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    std::size_t start = storageKey.find_first_not_of('/', prefix.size());
    if (start == std::string::npos) {
        return std::nullopt;
    }
    std::size_t end = storageKey.find('/', start);
    return storageKey.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace tarnwell
