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
