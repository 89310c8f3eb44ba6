// The libcurl wrapper: idle time-out, cancellation and failures without an answer.
#include <chrono>
#include <set>
#include <vector>
#include <thread>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "support/QuitBound.hpp"

namespace tarnwell::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using Transport = ClientTest;

TEST_F(Transport, AnIdleAnswerTimesOutAndAStopCancels) {
    HTTPTransport transport;
    HTTPRequest request;
    request.url = backend.baseURL() + "/auth/v1/user";
    request.idleTimeout = 1s;
    backend.delay("GET", "/auth/v1/user", 4s, 1);
    auto started = steady_clock::now();
    try {
        transport.send(request);
        ADD_FAILURE() << "no time-out";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::timedOut) << error.what();
    }
    EXPECT_LT(steady_clock::now() - started, 3s);

    // The request is cut when the stop comes, not at the next progress
    // check (a second apart while nothing moves); the connection it was on
    // is not used again.
    request.idleTimeout = 60s;
    EXPECT_EQ(transport.send(request).status, 401); // a connection to reuse
    backend.delay("GET", "/auth/v1/user", 4s, 1);
    std::stop_source cancel;
    steady_clock::time_point stopped;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        stopped = steady_clock::now();
        cancel.request_stop();
    });
    try {
        transport.send(request, cancel.get_token());
        ADD_FAILURE() << "not cancelled";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    }
    const auto ended = steady_clock::now();
    canceller.join();
    EXPECT_LT(ended - stopped, kQuitBound);
    EXPECT_EQ(transport.send(request).status, 401);
}

TEST_F(Transport, OnlyTheIdleTimeEndsAnAnswerThatKeepsTrickling) {
    // One byte every 1.1 s: slower than a byte a second on average, yet
    // never silent for the whole limit.
    Fault trickle;
    trickle.method = "GET";
    trickle.pathPrefix = "/auth/v1/user";
    trickle.status = 200;
    trickle.body = "ok";
    trickle.byteInterval = 1100ms;
    backend.injectFault(trickle);
    HTTPTransport transport;
    HTTPRequest request;
    request.url = backend.baseURL() + "/auth/v1/user";
    request.idleTimeout = 1500ms;
    EXPECT_EQ(transport.send(request).body, "ok");

    trickle.byteInterval = 3s;
    backend.injectFault(trickle);
    try {
        transport.send(request);
        ADD_FAILURE() << "a silence longer than the limit was not cut";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::timedOut) << error.what();
    }
}

TEST_F(Transport, ABodyTheServerKeepsReadingIsNeverCutForIdleness) {
    // The socket buffers take the whole body at once; the server then reads
    // it for longer than the idle limit, acknowledging it as it goes. So for
    // a body streamed from a file and for one sent from memory.
    signInDirectly();
    TemporaryDirectory files;
    const std::size_t size = 512 << 10;
    const std::string content(size, 'p');
    const std::filesystem::path file = files.write("slow.pdf", content);
    for (bool fromMemory : {false, true}) {
        SCOPED_TRACE(fromMemory ? "from memory" : "from the file");
        Fault slowReader;
        slowReader.method = "POST";
        slowReader.pathPrefix = "/storage/v1/object/";
        slowReader.passThrough = true;
        slowReader.bytesPerSecond = 192 << 10;
        backend.injectFault(slowReader);
        const std::string key = "user-" + userID + (fromMemory ? "/memory.pdf" : "/slow.pdf");
        HTTPRequest request = client->makeRequest("/storage/v1/object/files/" + key, "POST",
                                                  client->currentSession()->accessToken);
        if (fromMemory) request.borrowedBody = content;
        else request.bodyFile = file;
        request.idleTimeout = 2s;
        EXPECT_EQ(HTTPTransport().send(request).status, 200);
        ASSERT_TRUE(backend.object(key));
        EXPECT_EQ(backend.object(key)->size, size);
    }
}

TEST_F(Transport, AWriteWhoseAnswerIsLostIsNeverSentAgain) {
    signInDirectly();
    std::string fileID =
        backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "k"}, {"path", "k"}})["id"];
    // The server stores the job, then its connection dies before the answer.
    Fault lost;
    lost.method = "POST";
    lost.pathPrefix = "/rest/v1/jobs";
    lost.passThrough = true;
    lost.closeWithoutAnswer = true;
    backend.injectFault(lost);
    const std::string token = client->currentSession()->accessToken;
    HTTPTransport transport;
    transport.send(client->makeRequest("/auth/v1/user", "GET", token));
    try {
        transport.send(client->makeRequest("/rest/v1/jobs", "POST", token,
                                           JSONObject{{"file_id", JSONValue::string(fileID)},
                                                      {"kind", JSONValue::string("ingest")},
                                                      {"user_id", JSONValue::string(userID)}}));
        ADD_FAILURE() << "a lost answer was reported as success";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::failed);
        EXPECT_STREQ(error.what(), "The request failed: the connection closed before the answer came, and the "
                                   "request was not sent again");
    }
    // It went out on the connection of the user lookup just before, and the
    // transport did not resend it on a new one.
    auto posts = backend.requests("POST", "/rest/v1/jobs");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts.front().remotePort, backend.requests("GET", "/auth/v1/user").front().remotePort);
    EXPECT_EQ(backend.jobCount(), 1u);

    // A job insert whose answer is lost looks for the job before it sends it
    // again: one created since the user lookup was answered (by the backend's
    // clock, its "Date") was stored by the insert and is not sent twice, ...
    Fault dated;
    dated.method = "GET";
    dated.pathPrefix = "/auth/v1/user";
    dated.passThrough = true;
    dated.setHeaders = {{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}};
    backend.clearRequests();
    backend.injectFault(dated);
    backend.injectFault(lost);
    client->insertJob(fileID, "ingest");
    EXPECT_EQ(backend.requestCount("POST", "/rest/v1/jobs"), 1u);
    auto lookups = backend.requests("GET", "/rest/v1/jobs");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].rawQuery,
              "select=id&file_id=eq." + fileID + "&kind=eq.ingest&created_at=gte.1994-11-06T08:49:37Z&limit=1");
    EXPECT_EQ(backend.jobsForFile(fileID).size(), 2u);
    // ... one made before, for an earlier upload, does not count, even while
    // it still waits: the insert is sent once more, ...
    const std::string other =
        backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "o"}, {"path", "o"}})["id"];
    backend.insertJob(userID, {{"file_id", other}, {"kind", "ingest"}, {"created_at", "2000-01-01T00:00:00Z"}});
    lost.passThrough = false;
    backend.injectFault(lost);
    client->insertJob(other, "ingest");
    EXPECT_EQ(backend.requestCount("POST", "/rest/v1/jobs"), 3u);
    ASSERT_EQ(backend.jobsForFile(other).size(), 2u);
    EXPECT_EQ(backend.jobsForFile(other)[1]["status"], "queued");
    // ... and without a date to go by, a job still waiting counts.
    dated.setHeaders.clear();
    dated.removeHeaders = {"Date"};
    backend.clearRequests();
    backend.injectFault(dated);
    backend.injectFault(lost);
    client->insertJob(other, "ingest");
    EXPECT_EQ(backend.requests("GET", "/rest/v1/jobs").at(0).queryItem("status"), "in.(queued,running)");
    EXPECT_EQ(backend.requestCount("POST", "/rest/v1/jobs"), 1u);
    EXPECT_EQ(backend.jobsForFile(other).size(), 2u);
    lost.passThrough = true;

    // An upsert may go twice, and keeps sharing the lookup's connection.
    backend.clearRequests();
    lost.pathPrefix = "/rest/v1/files";
    backend.injectFault(lost);
    client->upsertRemoteFile("k", "k", 1, "text/plain", std::string(64, 'a'));
    EXPECT_EQ(backend.fileCount(), 2u); // "k" and "o"
    auto upserts = backend.requests("POST", "/rest/v1/files");
    ASSERT_EQ(upserts.size(), 2u);
    EXPECT_EQ(upserts.front().remotePort, backend.requests("GET", "/auth/v1/user").front().remotePort);
}

// A server that keeps a connection open for as many requests as the hosted
// one does.
class LongLivedConnections : public ClientTest {
protected:
    LongLivedConnections() : ClientTest(longLived()) {}
    static BackendOptions longLived() {
        BackendOptions options;
        options.keepAliveMaxRequests = 1000;
        return options;
    }
};

TEST_F(LongLivedConnections, FilesSentOneAfterAnotherShareOneConnection) {
    signInDirectly();
    TemporaryDirectory files;
    const std::filesystem::path file = files.write("a.txt", "some text");
    for (int i = 0; i < 100; ++i) {
        const std::string key = "user-" + userID + "/k" + std::to_string(i) + ".txt";
        client->uploadFile(file, key, "text/plain");
        RemoteFileRecord row = client->upsertRemoteFile(key, key, 9, "text/plain", std::string(64, 'a'));
        client->insertJob(row.id, "ingest");
    }
    std::set<int> ports;
    for (const auto& each : backend.requests()) {
        ports.insert(each.remotePort);
    }
    EXPECT_EQ(backend.jobCount(), 100u);
    EXPECT_LE(ports.size(), 2u);
}

TEST_F(Transport, AnAnswerOverItsLimitFailsTheRequestOnly) {
    Fault huge;
    huge.method = "GET";
    huge.pathPrefix = "/auth/v1/user";
    huge.status = 200;
    huge.body = std::string(3 << 20, 'x');
    backend.injectFault(huge);
    HTTPTransport transport;
    HTTPRequest request;
    request.url = backend.baseURL() + "/auth/v1/user";
    request.maximumAnswerBytes = std::size_t{1} << 20;
    try {
        transport.send(request);
        ADD_FAILURE() << "an answer over the limit was taken";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::answerTooLarge);
        EXPECT_STREQ(error.what(), "The answer was larger than 1 MiB and was not read");
    }
    EXPECT_EQ(transport.send(request).status, 401); // the next one goes through
    EXPECT_EQ(HTTPRequest().maximumAnswerBytes, std::size_t{64} << 20);
}

TEST_F(Transport, FailuresWithoutAnAnswerAreTransportErrorsAndNeverRefresh) {
    signInDirectly();
    int port = backend.port();
    backend.stop();
    try {
        client->fetchRemoteFile("k");
        ADD_FAILURE() << "no error";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::failed);
        EXPECT_NE(std::string(error.what()).find(std::to_string(port)), std::string::npos) << error.what();
    }
    HTTPRequest request;
    request.url = "file:///etc/passwd";
    EXPECT_THROW(HTTPTransport().send(request), TransportError);
}

TEST_F(Transport, RequestsOneAfterAnotherReuseAConnectionWhateverTheirThread) {
    HTTPTransport transport;
    HTTPRequest request;
    request.url = backend.baseURL() + "/auth/v1/user";
    transport.send(request);
    std::thread([&] { transport.send(request); }).join();
    std::thread([&] { transport.send(request); }).join();
    transport.send(request);
    auto sent = backend.requests("GET", "/auth/v1/user");
    ASSERT_EQ(sent.size(), 4u);
    for (const auto& each : sent) {
        EXPECT_EQ(each.remotePort, sent.front().remotePort);
    }
}

TEST_F(Transport, RequestsAtTheSameTimeEachHaveTheirOwnConnection) {
    backend.delay("GET", "/auth/v1/user", 300ms, 3);
    HTTPTransport transport;
    HTTPRequest request;
    request.url = backend.baseURL() + "/auth/v1/user";
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) {
        senders.emplace_back([&] { transport.send(request); });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    std::set<int> ports;
    for (const auto& each : backend.requests("GET", "/auth/v1/user")) {
        ports.insert(each.remotePort);
    }
    EXPECT_EQ(ports.size(), 3u);
}

} // namespace
} // namespace tarnwell::testing
