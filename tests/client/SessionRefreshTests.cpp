// Refresh-and-rerun, and refreshes shared between concurrent callers.
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "support/QuitBound.hpp"

namespace tarnwell::testing {
namespace {

using namespace std::chrono_literals;
using SessionRefresh = ClientTest;

TEST_F(SessionRefresh, RunsOnceMoreAfterOneRefresh) {
    // No session: nothing is sent.
    EXPECT_EQ(captureHTTPError([&] { client->fetchRemoteFile("k"); }), SupabaseHTTPError::notAuthenticated());
    EXPECT_EQ(backend.requests().size(), 0u);

    StoredSession first = signInDirectly();
    backend.expireAllAccessTokens();
    EXPECT_EQ(client->fetchRemoteFile("k"), std::nullopt);
    EXPECT_EQ(backend.requestCount("GET", "/rest/v1/files"), 2u);
    EXPECT_EQ(backend.stats().refreshGrants, 1);
    StoredSession second = *store->load();
    EXPECT_NE(second.refreshToken, first.refreshToken);
    EXPECT_EQ(backend.requests("GET", "/rest/v1/files").back().header("Authorization"),
              "Bearer " + second.accessToken);

    // Two 401s: unauthorized after one refresh; there is no third run.
    backend.failNext("GET", "/rest/v1/files", 2, 401);
    EXPECT_EQ(captureHTTPError([&] { client->fetchRemoteFile("k"); }), SupabaseHTTPError::unauthorized());
    EXPECT_EQ(backend.requestCount("GET", "/rest/v1/files"), 4u);
    EXPECT_EQ(backend.stats().refreshGrants, 2);

    // Neither other statuses nor transport failures refresh.
    backend.failNext("GET", "/rest/v1/files", 1, 503);
    EXPECT_EQ(captureHTTPError([&] { client->fetchRemoteFile("k"); }).description(),
              "Supabase request failed with status 503");
    Fault drop;
    drop.pathPrefix = "/rest/v1/files";
    drop.passThrough = true;
    drop.dropConnection = true;
    backend.injectFault(drop);
    EXPECT_THROW(client->fetchRemoteFile("k"), TransportError);
    EXPECT_EQ(backend.stats().refreshGrants, 2);
}

TEST_F(SessionRefresh, ASessionAnotherProgramStoredIsUsedAtTheNextRequest) {
    // Files dated back, so that the store may keep what it read.
    const std::filesystem::path file = store->url();
    auto backdate = [&] {
        const timespec longAgo[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), longAgo, 0), 0);
    };
    auto bearerOfLastRead = [&] {
        client->fetchRemoteFile("k");
        return backend.requests("GET", "/rest/v1/files").back().header("Authorization");
    };
    StoredSession first = signInDirectly();
    backdate();
    EXPECT_EQ(bearerOfLastRead(), "Bearer " + first.accessToken);
    EXPECT_EQ(bearerOfLastRead(), "Bearer " + first.accessToken);

    SessionTokens tokens = backend.issueSession(email);
    StoredSession second{tokens.accessToken, tokens.refreshToken, StoredUser{userID, email}};
    SessionStore(file, std::nullopt).save(second);
    backdate();
    EXPECT_EQ(bearerOfLastRead(), "Bearer " + second.accessToken);

    std::filesystem::remove(file);
    EXPECT_EQ(captureHTTPError([&] { client->fetchRemoteFile("k"); }), SupabaseHTTPError::notAuthenticated());
}

TEST_F(SessionRefresh, ConcurrentCallersShareOneExchange) {
    signInDirectly();
    backend.expireAllAccessTokens();
    // Keep the exchange in flight long enough for every caller to meet it.
    backend.delay("POST", "/auth/v1/token", 300ms);

    std::vector<std::thread> callers;
    std::atomic<int> succeeded{0};
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&, i] {
            try {
                if (i % 2 == 0) {
                    client->fetchIngestStatus();
                } else {
                    client->currentUser();
                }
                ++succeeded;
            } catch (const std::exception& error) {
                ADD_FAILURE() << error.what();
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(succeeded, 6);
    EXPECT_EQ(backend.stats().refreshGrants, 1);
    EXPECT_EQ(backend.stats().rejectedRefreshes, 0);
    EXPECT_EQ(backend.stats().reusedRefreshTokens, 0);
    EXPECT_TRUE(backend.refreshTokenIsActive(store->load()->refreshToken));
}

TEST_F(SessionRefresh, AnAlreadyRotatedSessionIsNotExchangedAgain) {
    StoredSession stale = signInDirectly();
    StoredSession rotated = client->refresh(stale);
    EXPECT_EQ(client->refresh(stale), rotated);
    EXPECT_EQ(backend.stats().refreshGrants, 1);
    EXPECT_EQ(backend.stats().reusedRefreshTokens, 0);
    EXPECT_EQ(store->load(), rotated);
}

TEST_F(SessionRefresh, WaitersShareTheExchangesFailureAndCanBeCancelled) {
    StoredSession session = signInDirectly();
    Fault slowRejection;
    slowRejection.method = "POST";
    slowRejection.pathPrefix = "/auth/v1/token";
    slowRejection.delay = 500ms;
    slowRejection.status = 400;
    backend.injectFault(slowRejection);

    std::optional<std::string> leaderError;
    std::thread leader([&] {
        try {
            client->refresh(session);
        } catch (const SupabaseHTTPError& error) {
            leaderError = error.description();
        }
    });
    std::this_thread::sleep_for(100ms);

    std::stop_source cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        cancel.request_stop();
    });
    auto started = std::chrono::steady_clock::now();
    try {
        client->refresh(session, cancel.get_token());
        ADD_FAILURE() << "a cancelled wait returned";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 400ms);
    canceller.join();

    EXPECT_EQ(captureHTTPError([&] { client->refresh(session); }).description(),
              "Supabase request failed with status 400");
    leader.join();
    EXPECT_EQ(leaderError, "Supabase request failed with status 400");
    EXPECT_EQ(backend.requestCount("POST", "/auth/v1/token"), 1u);
    EXPECT_EQ(store->load(), session);
}

// A quit does not wait for the backend to answer a refresh: the exchange is
// cut at once, and a caller that waited for it without being stopped makes
// its own.
TEST_F(SessionRefresh, AStopCutsTheExchangeAtOnceAndAWaiterMakesItsOwn) {
    StoredSession session = signInDirectly();
    backend.delay("POST", "/auth/v1/token", 20s, 1);

    std::stop_source quit;
    std::optional<TransportError::Kind> leaderError;
    std::chrono::steady_clock::time_point leaderEnded;
    std::thread leader([&] {
        try {
            client->refresh(session, quit.get_token());
        } catch (const TransportError& error) {
            leaderError = error.kind();
        }
        leaderEnded = std::chrono::steady_clock::now();
    });
    while (backend.pendingFaults() != 0) std::this_thread::sleep_for(5ms); // the exchange is out
    std::optional<StoredSession> waited;
    std::thread waiter([&] { waited = client->refresh(session); });
    std::this_thread::sleep_for(100ms);

    const auto stopped = std::chrono::steady_clock::now();
    quit.request_stop();
    leader.join();
    EXPECT_LT(leaderEnded - stopped, kQuitBound);
    EXPECT_EQ(leaderError, TransportError::Kind::cancelled);
    waiter.join();
    ASSERT_TRUE(waited);
    EXPECT_NE(waited->refreshToken, session.refreshToken);
    EXPECT_EQ(store->load(), waited);
}

} // namespace
} // namespace tarnwell::testing

namespace tarnwell::testing {
namespace {

TEST_F(ClientTest, ARefreshAfterSignOutDoesNotSignTheUserBackIn) {
    StoredSession session = signInDirectly();
    store->clear();
    EXPECT_EQ(captureHTTPError([&] { client->refresh(session); }), SupabaseHTTPError::notAuthenticated());
    EXPECT_EQ(backend.stats().refreshGrants, 0);
    EXPECT_FALSE(store->load());

    // Signed out while the exchange is on the wire: the new session is dropped.
    session = signInDirectly();
    backend.delay("POST", "/auth/v1/token", std::chrono::milliseconds(1000));
    std::thread signOut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        store->clear();
    });
    EXPECT_EQ(captureHTTPError([&] { client->refresh(session); }), SupabaseHTTPError::notAuthenticated());
    signOut.join();
    EXPECT_FALSE(store->load());
}

} // namespace
} // namespace tarnwell::testing

namespace tarnwell::testing {
namespace {

TEST_F(ClientTest, ARefreshDoesNotReplaceASignInThatHappenedDuringTheExchange) {
    StoredSession old = signInDirectly();
    backend.delay("POST", "/auth/v1/token", std::chrono::milliseconds(1000));
    StoredSession newer;
    std::thread signOutAndIn([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        store->clear();
        newer = signInDirectly();
    });
    StoredSession result = client->refresh(old);
    signOutAndIn.join();
    // The refresh went through on the backend, but the later sign-in is what
    // the store keeps and what the caller goes on with.
    EXPECT_EQ(backend.stats().refreshGrants, 1);
    EXPECT_EQ(store->load(), newer);
    EXPECT_EQ(result, newer);
}

} // namespace
} // namespace tarnwell::testing
