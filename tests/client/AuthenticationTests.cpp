// Sign-in, sign-up, refresh and the current user against the emulator.
#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using Authentication = ClientTest;

TEST_F(Authentication, SignInSendsCredentialsAsGivenAndSavesTheSession) {
    EXPECT_THROW(client->signIn("  " + email, password), SupabaseHTTPError);
    auto attempt = backend.requests("POST", "/auth/v1/token").back();
    EXPECT_EQ(nlohmann::json::parse(attempt.body)["email"], "  " + email);
    EXPECT_EQ(attempt.rawQuery, "grant_type=password");
    EXPECT_EQ(attempt.header("apikey"), backend.anonKey());
    EXPECT_EQ(attempt.header("content-type"), "application/json");
    EXPECT_FALSE(attempt.hasHeader("Authorization"));
    EXPECT_EQ(store->load(), std::nullopt);

    StoredSession session = client->signIn(email, password);
    EXPECT_EQ(session.user, (StoredUser{userID, email}));
    EXPECT_EQ(store->load(), session);
    EXPECT_EQ(client->currentSession(), session);
}

TEST_F(Authentication, SignInRejectionsAndMalformedAnswers) {
    backend.failNext("POST", "/auth/v1/token", 1, 401);
    EXPECT_EQ(captureHTTPError([&] { client->signIn(email, password); }), SupabaseHTTPError::unauthorized());
    EXPECT_EQ(backend.requestCount("POST", "/auth/v1/token"), 1u);

    backend.failNext("POST", "/auth/v1/token", 1, 400);
    EXPECT_EQ(captureHTTPError([&] { client->signIn(email, password); }).description(),
              "Supabase request failed with status 400");

    // A 2xx without "user": the envelope's text when there is one, else the decoding error.
    backend.failNext("POST", "/auth/v1/token", 1, 200,
                     R"({"access_token":"a","refresh_token":"r","message":"Email not confirmed"})");
    EXPECT_EQ(captureHTTPError([&] { client->signIn(email, password); }).description(), "Email not confirmed");
    for (const char* body : {R"({"access_token":"a","refresh_token":"r"})",
                             R"({"access_token":"a","refresh_token":"r","user":{"email":"x"}})", ""}) {
        backend.failNext("POST", "/auth/v1/token", 1, 200, body);
        EXPECT_THROW(client->signIn(email, password), JSONDecodingError) << body;
    }
    EXPECT_EQ(store->load(), std::nullopt);
}

TEST_F(Authentication, SignUpAnswerVariants) {
    SignUpResult withSession = client->signUp("new@example.com", "secret-pw");
    ASSERT_TRUE(withSession.session && withSession.user);
    EXPECT_EQ(withSession.session->user, withSession.user);
    EXPECT_EQ(store->load(), withSession.session);

    backend.setSignUpMode(SignUpMode::ConfirmationRequired);
    SignUpResult confirmation = client->signUp("later@example.com", "secret-pw");
    EXPECT_FALSE(confirmation.session);
    EXPECT_EQ(confirmation.user->email, "later@example.com");
    EXPECT_EQ(store->load(), withSession.session);

    backend.failNext("POST", "/auth/v1/signup", 1, 200, R"({"session":{"access_token":"a","refresh_token":"r"}})");
    SignUpResult sessionOnly = client->signUp("x@example.com", "secret-pw");
    EXPECT_EQ(sessionOnly, (SignUpResult{StoredSession{"a", "r", std::nullopt}, std::nullopt}));
    EXPECT_EQ(store->load(), sessionOnly.session);

    backend.failNext("POST", "/auth/v1/signup", 1, 200, R"({"user":null,"session":null})");
    EXPECT_EQ(client->signUp("y@example.com", "secret-pw"), SignUpResult{});
    EXPECT_EQ(store->load(), sessionOnly.session);

}

TEST_F(Authentication, RefreshRotatesTokensAndKeepsTheUserWhenTheAnswerHasNone) {
    StoredSession old = signInDirectly();
    backend.setRefreshAnswerIncludesUser(false);
    StoredSession fresh = client->refresh(old);
    EXPECT_NE(fresh.refreshToken, old.refreshToken);
    EXPECT_EQ(fresh.user, old.user);
    EXPECT_EQ(store->load(), fresh);
    EXPECT_EQ(nlohmann::json::parse(backend.requests("POST", "/auth/v1/token").back().body),
              nlohmann::json({{"refresh_token", old.refreshToken}}));
    EXPECT_FALSE(backend.refreshTokenIsActive(old.refreshToken));
}

TEST_F(Authentication, CurrentUserRefreshMatrix) {
    // No session: none, and nothing is sent.
    EXPECT_EQ(client->currentUser(), std::nullopt);
    EXPECT_EQ(backend.requests().size(), 0u);

    StoredSession session = signInDirectly();
    EXPECT_EQ(client->currentUser(), (StoredUser{userID, email}));
    EXPECT_EQ(backend.stats().refreshGrants, 0);

    // Expired once: one refresh, the second lookup answers, the new session is kept.
    backend.expireAllAccessTokens();
    EXPECT_EQ(client->currentUser(), (StoredUser{userID, email}));
    EXPECT_EQ(backend.stats().refreshGrants, 1);
    EXPECT_NE(store->load()->accessToken, session.accessToken);

    // A failing refresh: its error, and the stored session stays as it was.
    StoredSession before = *store->load();
    backend.expireAllAccessTokens();
    backend.failNext("POST", "/auth/v1/token", 1, 400);
    EXPECT_EQ(captureHTTPError([&] { client->currentUser(); }).description(),
              "Supabase request failed with status 400");
    EXPECT_EQ(store->load(), before);
}

} // namespace
} // namespace tarnwell::testing
