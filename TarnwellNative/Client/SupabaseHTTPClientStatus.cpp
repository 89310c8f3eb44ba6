// The ingest status counts: five reads of "jobs" and "files" side by side.
#include "Client/SupabaseHTTPClient.hpp"

#include <array>
#include <charconv>
#include <functional>
#include <thread>

namespace tarnwell {

namespace {

// The total after the last "/" of a "Content-Range" value ("0-0/57", "*/0",
// or a bare "57"); none when there is no number there ("0-0/*").
std::optional<std::int64_t> countFromContentRange(std::string_view value) {
    std::string_view last;
    size_t start = 0;
    while (start <= value.size()) {
        size_t slash = value.find('/', start);
        std::string_view segment = value.substr(start, slash == std::string_view::npos ? std::string_view::npos
                                                                                      : slash - start);
        if (!segment.empty()) {
            last = segment;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    if (last.empty()) {
        return std::nullopt;
    }
    std::string_view digits = last;
    if (digits.front() == '+' || digits.front() == '-') {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    std::string_view number = last.front() == '-' ? last : digits;
    std::int64_t count = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), count);
    if (error != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return count;
}

std::int64_t countArrayElements(const nlohmann::json& answer) {
    if (!answer.is_array()) {
        throw JSONDecodingError(std::string("Expected an array but found ") + answer.type_name());
    }
    return static_cast<std::int64_t>(answer.size());
}

// The date under `key` of the first row of a one-column answer.
std::function<std::optional<Timestamp>(const nlohmann::json&)> firstRowDate(const char* key) {
    return [key](const nlohmann::json& answer) -> std::optional<Timestamp> {
        if (!answer.is_array()) {
            throw JSONDecodingError(std::string("Expected an array but found ") + answer.type_name());
        }
        std::optional<Timestamp> first;
        for (size_t i = 0; i < answer.size(); ++i) {
            std::optional<Timestamp> date = SupabaseHTTPClient::optionalSupabaseDate(answer[i], key);
            if (i == 0) {
                first = date;
            }
        }
        return first;
    };
}

} // namespace

std::int64_t SupabaseHTTPClient::countRows(const std::string& path, const URLQueryItems& queryItems,
                                           std::stop_token stop) {
    return runWithRefreshedSession(
        [&](const StoredSession& session) -> std::int64_t {
            HTTPResponse response =
                send(makeRequest(path, "GET", session.accessToken, queryItems,
                                 {{"Prefer", "count=exact"}, {"Range-Unit", "items"}, {"Range", "0-0"}}),
                     stop);
            validate(response);
            if (std::optional<std::string> range = response.header("Content-Range")) {
                if (std::optional<std::int64_t> count = countFromContentRange(*range)) {
                    return *count;
                }
            }
            return decode(response.body, countArrayElements);
        },
        stop);
}

std::optional<Timestamp> SupabaseHTTPClient::fetchOldestQueuedAt(std::stop_token stop) {
    return getWithSession("/rest/v1/jobs",
                          URLQueryItems{{"select", "created_at"},
                                        {"status", "eq.queued"},
                                        {"order", "created_at.asc"},
                                        {"limit", "1"}},
                          firstRowDate("created_at"), stop);
}

std::optional<Timestamp> SupabaseHTTPClient::fetchLastIngestedAt(std::stop_token stop) {
    return getWithSession("/rest/v1/files",
                          URLQueryItems{{"select", "ingested_at"},
                                        {"ingested_at", "not.is.null"},
                                        {"order", "ingested_at.desc"},
                                        {"limit", "1"}},
                          firstRowDate("ingested_at"), stop);
}

IngestStatusSnapshot SupabaseHTTPClient::fetchIngestStatus(std::stop_token stop) {
    IngestStatusSnapshot snapshot;
    std::array<std::function<void(std::stop_token)>, 5> readers{
        [&](std::stop_token s) { snapshot.queued = countRows("/rest/v1/jobs", {{"status", "eq.queued"}}, s); },
        [&](std::stop_token s) { snapshot.running = countRows("/rest/v1/jobs", {{"status", "eq.running"}}, s); },
        [&](std::stop_token s) { snapshot.errors = countRows("/rest/v1/jobs", {{"status", "eq.error"}}, s); },
        [&](std::stop_token s) { snapshot.oldestQueuedAt = fetchOldestQueuedAt(s); },
        [&](std::stop_token s) { snapshot.lastIngestedAt = fetchLastIngestedAt(s); },
    };
    std::array<std::exception_ptr, 5> failures;

    // Each read writes only its own field and failure slot, and is joined
    // before either is looked at.
    std::vector<std::jthread> reads;
    reads.reserve(readers.size());
    for (size_t i = 0; i < readers.size(); ++i) {
        reads.emplace_back([&readers, &failures, i](std::stop_token readStop) {
            try {
                readers[i](readStop);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    }
    std::stop_callback forwardStop(stop, [&reads] {
        for (auto& read : reads) {
            read.request_stop();
        }
    });

    // The first failure in read order decides; the reads after it are
    // cancelled and waited for, last one first.
    for (size_t i = 0; i < reads.size(); ++i) {
        reads[i].join();
        if (failures[i]) {
            for (size_t j = reads.size(); j-- > i + 1;) {
                reads[j].request_stop();
                reads[j].join();
            }
            std::rethrow_exception(failures[i]);
        }
    }
    return snapshot;
}

} // namespace tarnwell
