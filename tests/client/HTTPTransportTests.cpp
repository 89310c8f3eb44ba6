// The libcurl wrapper: idle time-out, cancellation and failures without an answer.
#include <chrono>
#include <set>
#include <vector>
#include <thread>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

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

    backend.delay("GET", "/auth/v1/user", 4s, 1);
    std::stop_source cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        cancel.request_stop();
    });
    request.idleTimeout = 60s;
    started = steady_clock::now();
    try {
        transport.send(request, cancel.get_token());
        ADD_FAILURE() << "not cancelled";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    }
    EXPECT_LT(steady_clock::now() - started, 3s);
    canceller.join();
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
    try {
        client->insertJob(fileID, "ingest");
        ADD_FAILURE() << "a lost answer was reported as success";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::failed) << error.what();
    }
    EXPECT_EQ(backend.requestCount("POST", "/rest/v1/jobs"), 1u);
    EXPECT_EQ(backend.jobCount(), 1u);

    // An upsert may go twice, and keeps sharing the lookup's connection.
    backend.clearRequests();
    lost.pathPrefix = "/rest/v1/files";
    backend.injectFault(lost);
    client->upsertRemoteFile("k", "k", 1, "text/plain", std::string(64, 'a'));
    EXPECT_EQ(backend.fileCount(), 1u);
    auto upserts = backend.requests("POST", "/rest/v1/files");
    ASSERT_EQ(upserts.size(), 2u);
    EXPECT_EQ(upserts.front().remotePort, backend.requests("GET", "/auth/v1/user").front().remotePort);
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
