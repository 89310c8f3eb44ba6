// Failed ingest jobs: the list the interface shows and their retry.
#include "Client/SupabaseHTTPClient.hpp"

#include <algorithm>
#include <set>
#include <unordered_map>

namespace tarnwell {

using namespace json_fields;

namespace {

struct FailedJobRecord {
    std::string id;
    std::optional<std::string> fileID;
    std::optional<std::string> error;
    std::optional<Timestamp> createdAt;
};

std::vector<FailedJobRecord> decodeFailedJobs(const nlohmann::json& answer) {
    if (!answer.is_array()) {
        throw JSONDecodingError(std::string("Expected an array of jobs but found ") + answer.type_name());
    }
    std::vector<FailedJobRecord> jobs;
    jobs.reserve(answer.size());
    for (const auto& row : answer) {
        requireObject(row, "a job row");
        FailedJobRecord job;
        job.id = requiredString(row, "id");
        job.fileID = optionalString(row, "file_id");
        job.error = optionalString(row, "error");
        job.createdAt = SupabaseHTTPClient::optionalSupabaseDate(row, "created_at");
        jobs.push_back(std::move(job));
    }
    return jobs;
}

// The distinct file ids of the jobs, in ascending order.
std::vector<std::string> distinctFileIDs(const std::vector<FailedJobRecord>& jobs) {
    std::set<std::string> ids;
    for (const auto& job : jobs) {
        if (job.fileID) {
            ids.insert(*job.fileID);
        }
    }
    return {ids.begin(), ids.end()};
}

} // namespace

std::vector<FailedUploadItem> SupabaseHTTPClient::fetchFailedUploads(std::int64_t limit, std::stop_token stop) {
    std::int64_t rowLimit = std::max<std::int64_t>(1, std::min<std::int64_t>(limit, 200));
    std::vector<FailedJobRecord> jobs = getWithSession("/rest/v1/jobs",
                                                       URLQueryItems{{"select", "id,file_id,error,created_at"},
                                                                     {"status", "eq.error"},
                                                                     {"kind", "eq.ingest"},
                                                                     {"order", "created_at.desc"},
                                                                     {"limit", std::to_string(rowLimit)}},
                                                       decodeFailedJobs, stop);

    std::unordered_map<std::string, RemoteFileRecord> filesByID;
    std::vector<std::string> fileIDs = distinctFileIDs(jobs);
    // As many reads as it takes to keep each URL short (see the retry below).
    const URLQueryItems select{{"select", fileSelectList}};
    for (const auto& batch : idBatches("/rest/v1/files", fileIDs, select)) {
        URLQueryItems query = select;
        query.push_back(URLQueryItem{"id", inFilter(batch)});
        std::vector<RemoteFileRecord> files =
            getWithSession("/rest/v1/files", query, SupabaseHTTPClient::decodeFileRows, stop);
        for (auto& file : files) {
            // A repeated id keeps its first row.
            filesByID.emplace(file.id, std::move(file));
        }
    }

    std::vector<FailedUploadItem> items;
    items.reserve(jobs.size());
    for (auto& job : jobs) {
        std::optional<RemoteFileRecord> file;
        if (job.fileID) {
            if (auto found = filesByID.find(*job.fileID); found != filesByID.end()) {
                file = found->second;
            }
        }
        items.push_back(FailedUploadItem{std::move(job.id), std::move(job.fileID), std::move(job.error),
                                         job.createdAt, std::move(file)});
    }
    return items;
}

std::int64_t SupabaseHTTPClient::retryFailedUploads(std::stop_token stop) {
    std::vector<FailedJobRecord> jobs = getWithSession(
        "/rest/v1/jobs", URLQueryItems{{"select", "id,file_id"}, {"status", "eq.error"}, {"kind", "eq.ingest"}},
        decodeFailedJobs, stop);
    if (jobs.empty()) {
        return 0;
    }
    std::vector<std::string> jobIDs;
    jobIDs.reserve(jobs.size());
    for (const auto& job : jobs) {
        jobIDs.push_back(job.id);
    }
    std::sort(jobIDs.begin(), jobIDs.end());
    std::vector<std::string> fileIDs = distinctFileIDs(jobs);

    // Servers refuse request lines of a few kilobytes, so the ids go out in
    // as many requests as it takes to keep each URL short.
    std::int64_t queued = 0;
    for (const auto& batch : idBatches("/rest/v1/jobs", jobIDs)) {
        patchWithoutResponse("/rest/v1/jobs", URLQueryItems{{"id", inFilter(batch)}},
                             {{"status", JSONValue::string("queued")},
                              {"attempts", JSONValue::int64(0)},
                              {"error", JSONValue::null()}},
                             stop);
        queued += static_cast<std::int64_t>(batch.size());
    }
    for (const auto& batch : idBatches("/rest/v1/files", fileIDs)) {
        patchWithoutResponse("/rest/v1/files", URLQueryItems{{"id", inFilter(batch)}},
                             {{"ingest_error", JSONValue::null()}}, stop);
    }
    return queued;
}

std::vector<std::vector<std::string>> SupabaseHTTPClient::idBatches(const std::string& path,
                                                                    const std::vector<std::string>& ids,
                                                                    const URLQueryItems& before) const {
    URLQueryItems emptyFilter = before;
    emptyFilter.push_back(URLQueryItem{"id", inFilter({})});
    const std::size_t emptyFilterLength = makeRequest(path, "PATCH", std::nullopt, emptyFilter).url.size();
    std::vector<std::vector<std::string>> batches;
    std::size_t length = 0;
    for (const std::string& id : ids) {
        const std::size_t added = URLBuilder::encodeQueryComponent(id).size() + 1; // the id and its ","
        if (batches.empty() || length + added > maximumURLLength) {
            batches.emplace_back();
            length = emptyFilterLength - 1; // the first id has no ","
        }
        batches.back().push_back(id);
        length += added;
    }
    return batches;
}

} // namespace tarnwell
