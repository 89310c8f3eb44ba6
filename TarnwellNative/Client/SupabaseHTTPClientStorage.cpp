// Uploads to the storage bucket.
#include "Client/SupabaseHTTPClient.hpp"

namespace tarnwell {

namespace {

// The body is set by the caller.
HTTPRequest uploadRequest(const SupabaseHTTPClient& client, const StoredSession& session,
                          const std::string& storageKey, const std::string& mimeType) {
    HTTPRequest request = client.makeRequest("/storage/v1/object/" + client.config().filesBucket + "/" + storageKey,
                                             "POST", session.accessToken, std::nullopt,
                                             {{"content-type", mimeType},
                                              {"cache-control", "max-age=3600"},
                                              {"x-upsert", "true"}});
    request.idempotent = true; // "x-upsert": a second copy replaces the first
    return request;
}

} // namespace

void SupabaseHTTPClient::uploadFile(const std::filesystem::path& localURL, const std::string& storageKey,
                                    const std::string& mimeType, std::stop_token stop) {
    runWithRefreshedSession(
        [&](const StoredSession& session) {
            HTTPRequest request = uploadRequest(*this, session, storageKey, mimeType);
            // Opened anew on every run, so a rerun sends the file from its start.
            request.bodyFile = localURL;
            validate(send(request, stop));
        },
        stop);
}

void SupabaseHTTPClient::uploadContent(std::string_view content, const std::string& storageKey,
                                       const std::string& mimeType, std::stop_token stop) {
    runWithRefreshedSession(
        [&](const StoredSession& session) {
            HTTPRequest request = uploadRequest(*this, session, storageKey, mimeType);
            request.borrowedBody = content;
            validate(send(request, stop));
        },
        stop);
}

} // namespace tarnwell
