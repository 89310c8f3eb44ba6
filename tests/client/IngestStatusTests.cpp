// The five side-by-side reads of the ingest status.
#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using IngestStatus = ClientTest;

Fault onJobs(const std::string& queryContains) {
    Fault fault;
    fault.method = "GET";
    fault.pathPrefix = "/rest/v1/jobs";
    fault.queryContains = queryContains;
    return fault;
}

TEST_F(IngestStatus, EmptyBackendAndTheShapeOfTheReads) {
    signInDirectly();
    EXPECT_EQ(client->fetchIngestStatus(), (IngestStatusSnapshot{0, 0, 0, std::nullopt, std::nullopt}));
    std::set<std::string> queries;
    for (const auto& read : backend.requests("GET", "/rest/v1/")) {
        queries.insert(read.path + "?" + read.rawQuery);
        EXPECT_EQ(read.header("Range"), read.rawQuery.rfind("status=", 0) == 0 ? "0-0" : std::optional<std::string>());
    }
    EXPECT_EQ(queries, (std::set<std::string>{
                           "/rest/v1/jobs?status=eq.queued", "/rest/v1/jobs?status=eq.running",
                           "/rest/v1/jobs?status=eq.error",
                           "/rest/v1/jobs?select=created_at&status=eq.queued&order=created_at.asc&limit=1",
                           "/rest/v1/files?select=ingested_at&ingested_at=not.is.null&order=ingested_at.desc&limit=1"}));
}

TEST_F(IngestStatus, CountsEveryKindOfTheUsersJobsAndReadsTheTimes) {
    signInDirectly();
    auto file = backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "k1"}, {"path", "a"},
                                            {"ingested_at", "2026-01-02T03:04:05.5+00:00"}});
    backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "k2"}, {"path", "b"},
                                {"ingested_at", "2025-01-02T03:04:05+00:00"}});
    std::string fileID = file["id"];
    backend.insertJob(userID, {{"file_id", fileID}, {"kind", "ingest"}, {"status", "queued"},
                               {"created_at", "2026-03-01T00:00:00+00:00"}});
    backend.insertJob(userID, {{"file_id", fileID}, {"kind", "delete"}, {"status", "queued"},
                               {"created_at", "2026-02-01T10:00:00.25+02:00"}});
    backend.insertJob(userID, {{"file_id", fileID}, {"kind", "ingest"}, {"status", "running"}});
    backend.insertJob(userID, {{"file_id", fileID}, {"kind", "ingest"}, {"status", "error"}});

    IngestStatusSnapshot snapshot = client->fetchIngestStatus();
    EXPECT_EQ(snapshot.queued, 2);
    EXPECT_EQ(snapshot.running, 1);
    EXPECT_EQ(snapshot.errors, 1);
    EXPECT_EQ(snapshot.oldestQueuedAt, sys_days{2026y / 2 / 1} + 8h + 250ms);
    EXPECT_EQ(snapshot.lastIngestedAt, sys_days{2026y / 1 / 2} + 3h + 4min + 5s + 500ms);
}

TEST_F(IngestStatus, ContentRangeAndBodyFallbacks) {
    signInDirectly();
    Fault star = onJobs("eq.running");
    star.passThrough = true;
    star.setHeaders = {{"Content-Range", "0-0/*"}};
    star.body = R"([{"id":"x"}])";
    backend.injectFault(star);
    Fault none = onJobs("eq.error");
    none.passThrough = true;
    none.removeHeaders = {"Content-Range"};
    none.body = "[]";
    backend.injectFault(none);
    IngestStatusSnapshot first = client->fetchIngestStatus();
    EXPECT_EQ(first.running, 1);
    EXPECT_EQ(first.errors, 0);

    Fault bare = onJobs("eq.running");
    bare.passThrough = true;
    bare.status = 206;
    bare.setHeaders = {{"Content-Range", "57"}};
    backend.injectFault(bare);
    EXPECT_EQ(client->fetchIngestStatus().running, 57);

    // Without a usable range the body must be an array.
    Fault notArray = onJobs("eq.error");
    notArray.passThrough = true;
    notArray.setHeaders = {{"Content-Range", "0-0/x1"}};
    notArray.body = R"({"message":"count unavailable"})";
    backend.injectFault(notArray);
    EXPECT_EQ(captureHTTPError([&] { client->fetchIngestStatus(); }).description(), "count unavailable");
    notArray.body = "";
    backend.injectFault(notArray);
    EXPECT_THROW(client->fetchIngestStatus(), JSONDecodingError);
}

TEST_F(IngestStatus, TimesThatAreNullOrInvalid) {
    signInDirectly();
    Fault badTime = onJobs("created_at.asc");
    badTime.passThrough = true;
    badTime.body = R"([{"created_at":"2026-01-01 10:00:00+00:00"}])";
    backend.injectFault(badTime);
    try {
        client->fetchIngestStatus();
        ADD_FAILURE() << "no error";
    } catch (const JSONDecodingError& error) {
        EXPECT_STREQ(error.what(), "Invalid Supabase date: 2026-01-01 10:00:00+00:00");
    }
}

TEST_F(IngestStatus, TheFirstFailureInReadOrderWins) {
    signInDirectly();
    // Read 2 fails and read 4 fails too: read 2's error is the one reported.
    Fault running = onJobs("eq.running");
    running.status = 502;
    backend.injectFault(running);
    Fault badTime = onJobs("created_at.asc");
    badTime.passThrough = true;
    badTime.body = R"([{"created_at":"never"}])";
    backend.injectFault(badTime);
    EXPECT_EQ(captureHTTPError([&] { client->fetchIngestStatus(); }).description(),
              "Supabase request failed with status 502");

    // Read 3 fails at once; reads 1 and 4 are slow, read 5 slower still. The
    // error comes after read 1 (and 2) ended, and read 5 is cancelled. The
    // faults hold until cleared: a read the first call cancelled may still
    // reach the backend now, and must not use one up.
    backend.clearFaults();
    Fault slowQueued = onJobs("eq.queued");
    slowQueued.passThrough = true;
    slowQueued.count = -1;
    slowQueued.delay = 800ms;
    backend.injectFault(slowQueued);
    Fault failing = onJobs("eq.error");
    failing.status = 500;
    failing.count = -1;
    backend.injectFault(failing);
    backend.delay("GET", "/rest/v1/files", 5s);
    auto started = steady_clock::now();
    EXPECT_EQ(captureHTTPError([&] { client->fetchIngestStatus(); }).description(),
              "Supabase request failed with status 500");
    auto elapsed = steady_clock::now() - started;
    EXPECT_GE(elapsed, 750ms);
    EXPECT_LT(elapsed, 3s);
}

TEST_F(IngestStatus, WithoutSessionOrWhenCancelled) {
    EXPECT_EQ(captureHTTPError([&] { client->fetchIngestStatus(); }), SupabaseHTTPError::notAuthenticated());
    EXPECT_EQ(backend.requests().size(), 0u);

    signInDirectly();
    backend.delay("GET", "/rest/v1/", 5s, 5);
    std::stop_source cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        cancel.request_stop();
    });
    auto started = steady_clock::now();
    try {
        client->fetchIngestStatus(cancel.get_token());
        ADD_FAILURE() << "no error";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    }
    EXPECT_LT(steady_clock::now() - started, 3s);
    canceller.join();
}

} // namespace
} // namespace tarnwell::testing
