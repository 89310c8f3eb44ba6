// Uploads to the storage bucket.
#include "Client/SupabaseHTTPClient.hpp"

namespace tarnwell {

void SupabaseHTTPClient::uploadFile(const std::filesystem::path& localURL, const std::string& storageKey,
                                    const std::string& mimeType, std::stop_token stop) {
    runWithRefreshedSession(
        [&](const StoredSession& session) {
            HTTPRequest request = makeRequest("/storage/v1/object/" + config_.filesBucket + "/" + storageKey, "POST",
                                              session.accessToken, std::nullopt,
                                              {{"content-type", mimeType},
                                               {"cache-control", "max-age=3600"},
                                               {"x-upsert", "true"}});
            // Opened anew on every run, so a rerun sends the file from its start.
            request.bodyFile = localURL;
            request.idempotent = true; // "x-upsert": a second copy replaces the first
            validate(send(request, stop));
        },
        stop);
}

} // namespace tarnwell
