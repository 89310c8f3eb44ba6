// Sign-in, sign-up, token refresh and the current user.
#include "Client/SupabaseHTTPClient.hpp"

#include <functional>
#include <system_error>

namespace tarnwell {

using namespace json_fields;

struct SupabaseHTTPClient::RefreshExchange {
    bool finished = false;
    // Its caller was stopped before the exchange came back: those who wait
    // for it go on with an exchange of their own.
    bool abandoned = false;
    std::optional<StoredSession> session;
    // Throws a copy of the exchange's error; every waiter gets its own.
    std::function<void()> throwError;
};

namespace {

// A function that throws a fresh copy of the exception being handled, so
// that the threads which share a failed refresh never share one exception
// object.
std::function<void()> copyOfCurrentError() {
    try {
        throw;
    } catch (const SupabaseHTTPError& error) {
        return [error] { throw error; };
    } catch (const TransportError& error) {
        return [kind = error.kind(), text = std::string(error.what())] { throw TransportError(kind, text); };
    } catch (const JSONDecodingError& error) {
        return [text = std::string(error.what())] { throw JSONDecodingError(text); };
    } catch (const std::system_error& error) {
        std::string text = error.what();
        std::string suffix = ": " + error.code().message();
        if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
            text.erase(text.size() - suffix.size());
        }
        return [code = error.code(), text] { throw std::system_error(code, text); };
    } catch (const std::exception& error) {
        return [text = std::string(error.what())] { throw std::runtime_error(text); };
    } catch (...) {
        return [] { throw std::runtime_error("The session could not be refreshed"); };
    }
}

std::optional<StoredUser> optionalUser(const nlohmann::json& object, const char* key) {
    auto member = object.find(key);
    if (member == object.end() || member->is_null()) {
        return std::nullopt;
    }
    return StoredUser::fromJSON(*member);
}

// {"access_token", "refresh_token", "user"}: all three required.
StoredSession decodeSignInResponse(const nlohmann::json& answer) {
    requireObject(answer, "the sign-in answer");
    std::string accessToken = requiredString(answer, "access_token");
    std::string refreshToken = requiredString(answer, "refresh_token");
    std::optional<StoredUser> user = optionalUser(answer, "user");
    if (!user) {
        throw JSONDecodingError("No value associated with key \"user\"");
    }
    return StoredSession{std::move(accessToken), std::move(refreshToken), std::move(user)};
}

// {"user"?, "session"? {"access_token", "refresh_token"}}
SignUpResult decodeSignUpEnvelope(const nlohmann::json& answer) {
    requireObject(answer, "the sign-up answer");
    SignUpResult result;
    result.user = optionalUser(answer, "user");
    auto nested = answer.find("session");
    if (nested != answer.end() && !nested->is_null()) {
        requireObject(*nested, "\"session\"");
        result.session = StoredSession{requiredString(*nested, "access_token"),
                                       requiredString(*nested, "refresh_token"), result.user};
    }
    return result;
}

// {"access_token", "refresh_token", "user"?}; a missing user is the caller's
// to fill in.
StoredSession decodeRefreshResponse(const nlohmann::json& answer) {
    requireObject(answer, "the refresh answer");
    std::string accessToken = requiredString(answer, "access_token");
    std::string refreshToken = requiredString(answer, "refresh_token");
    return StoredSession{std::move(accessToken), std::move(refreshToken), optionalUser(answer, "user")};
}

// An unauthenticated POST with a JSON body; a 401 is simply unauthorized.
template <class Parse>
auto authRequest(const SupabaseHTTPClient& client, const std::string& path,
                 const std::optional<URLQueryItems>& queryItems, const JSONObject& body, Parse parse,
                 std::stop_token stop) {
    HTTPResponse response = client.send(client.makeRequest(path, "POST", std::nullopt, body, queryItems), stop);
    SupabaseHTTPClient::validate(response);
    return SupabaseHTTPClient::decode(response.body, parse);
}

} // namespace

std::optional<StoredSession> SupabaseHTTPClient::currentSession() const { return sessionStore_->load(); }

StoredSession SupabaseHTTPClient::signIn(const std::string& email, const std::string& password,
                                         std::stop_token stop) {
    StoredSession session = authRequest(*this, "/auth/v1/token", URLQueryItems{{"grant_type", "password"}},
                                        {{"email", JSONValue::string(email)}, {"password", JSONValue::string(password)}},
                                        decodeSignInResponse, stop);
    sessionStore_->save(session);
    return session;
}

SignUpResult SupabaseHTTPClient::signUp(const std::string& email, const std::string& password,
                                        std::stop_token stop) {
    SignUpResult result = authRequest(*this, "/auth/v1/signup", std::nullopt,
                                      {{"email", JSONValue::string(email)}, {"password", JSONValue::string(password)}},
                                      decodeSignUpEnvelope, stop);
    if (result.session) {
        sessionStore_->save(*result.session);
    }
    return result;
}

std::optional<StoredUser> SupabaseHTTPClient::currentUser(std::stop_token stop) {
    std::optional<StoredSession> session = sessionStore_->load();
    if (!session) {
        return std::nullopt;
    }
    try {
        return fetchCurrentUser(*session, stop);
    } catch (const SupabaseHTTPError& error) {
        if (error.kind() != SupabaseHTTPError::Kind::unauthorized) {
            throw;
        }
    }
    StoredSession refreshed = refresh(*session, stop);
    return fetchCurrentUser(refreshed, stop);
}

StoredSession SupabaseHTTPClient::refresh(const StoredSession& session, std::stop_token stop) {
    std::shared_ptr<RefreshExchange> exchange;
    {
        std::unique_lock lock(refreshMutex_);
        for (auto inFlight = refreshesInFlight_.find(session.refreshToken); inFlight != refreshesInFlight_.end();
             inFlight = refreshesInFlight_.find(session.refreshToken)) {
            // Someone is already spending this refresh token: take their result.
            exchange = inFlight->second;
            if (!refreshFinished_.wait(lock, stop, [&] { return exchange->finished; })) {
                throw TransportError(TransportError::Kind::cancelled, "The request was cancelled");
            }
            if (exchange->abandoned) {
                continue;
            }
            if (exchange->throwError) {
                exchange->throwError();
            }
            return *exchange->session;
        }
        exchange = std::make_shared<RefreshExchange>();
        refreshesInFlight_.emplace(session.refreshToken, exchange);
    }

    std::optional<StoredSession> result;
    std::exception_ptr error;
    try {
        // A refresh token can be spent once. When the stored session no longer
        // holds it, someone has refreshed (or signed in) since this session was
        // loaded, and the stored session is the one to go on with.
        // No stored session at all means the user signed out meanwhile: a
        // refresh now would quietly sign them back in.
        std::optional<StoredSession> stored = sessionStore_->load();
        if (!stored) {
            throw SupabaseHTTPError::notAuthenticated();
        }
        if (stored->refreshToken != session.refreshToken) {
            result = std::move(stored);
        } else {
            result = exchangeRefreshToken(session, stop);
        }
    } catch (...) {
        error = std::current_exception();
        exchange->throwError = copyOfCurrentError();
    }
    {
        std::lock_guard lock(refreshMutex_);
        exchange->finished = true;
        exchange->abandoned = error && stop.stop_requested();
        exchange->session = result;
        refreshesInFlight_.erase(session.refreshToken);
    }
    refreshFinished_.notify_all();
    if (error) {
        std::rethrow_exception(error);
    }
    return *result;
}

// Cancellable like every request: a quit does not wait for the backend. A
// stop that cuts the exchange after the backend rotated the token loses the
// new session (the stored one keeps the spent token, and the next start may
// have to sign in again); a window that closes at once is worth that rare
// cost. An answer that came in is always saved.
StoredSession SupabaseHTTPClient::exchangeRefreshToken(const StoredSession& session, std::stop_token stop) {
    StoredSession fresh = authRequest(*this, "/auth/v1/token", URLQueryItems{{"grant_type", "refresh_token"}},
                                      {{"refresh_token", JSONValue::string(session.refreshToken)}},
                                      decodeRefreshResponse, stop);
    if (!fresh.user) {
        fresh.user = session.user;
    }
    // Tested and saved in one step of the store: a sign-out or a new sign-in
    // during the exchange wins over the session it produced.
    std::optional<StoredSession> kept = sessionStore_->replaceIfCurrent(session.refreshToken, fresh);
    if (!kept) {
        throw SupabaseHTTPError::notAuthenticated(); // signed out while the exchange ran
    }
    return *kept;
}

SupabaseHTTPClient::UserLookup SupabaseHTTPClient::lookUpCurrentUser(const StoredSession& session,
                                                                     std::stop_token stop) {
    HTTPResponse response = send(makeRequest("/auth/v1/user", "GET", session.accessToken), stop);
    validate(response);
    UserLookup lookup;
    // The answer carries much more about the account than its id and e-mail.
    lookup.user = decodeMembers(response.body, {"id", "email"},
                                [](const nlohmann::json& answer) { return StoredUser::fromJSON(answer); });
    if (std::optional<std::string> date = response.header("Date")) {
        lookup.answeredAt = parseHTTPDate(*date);
    }
    return lookup;
}

std::optional<StoredUser> SupabaseHTTPClient::fetchCurrentUser(const StoredSession& session, std::stop_token stop) {
    return lookUpCurrentUser(session, stop).user;
}

} // namespace tarnwell
