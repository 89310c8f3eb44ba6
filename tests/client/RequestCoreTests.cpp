// Request building, answer judging, body and date decoding: no network.
#include <chrono>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using namespace std::chrono;

class RequestBuilding : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::shared_ptr<SessionStore> store =
        std::make_shared<SessionStore>(directory.path() / "session.json", std::nullopt);
    SupabaseHTTPClient client{configFor("https://abc.example.co/some/base?x=1", "anon"), store};
};

TEST_F(RequestBuilding, PathReplacesBasePathAndQueryItemsKeepTheirOrder) {
    HTTPRequest request = client.makeRequest("/rest/v1/files", "GET", std::nullopt,
                                             URLQueryItems{{"select", "id,path"}, {"limit", "1"}});
    EXPECT_EQ(request.url, "https://abc.example.co/rest/v1/files?select=id,path&limit=1");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(client.makeRequest("/auth/v1/user", "GET", std::nullopt).url, "https://abc.example.co/auth/v1/user");
    EXPECT_FALSE(request.body);
}

TEST_F(RequestBuilding, QueryValuesCannotAddParametersOrChangeFilters) {
    HTTPRequest request = client.makeRequest(
        "/rest/v1/files", "GET", std::nullopt,
        URLQueryItems{{"storage_key", "eq.a&limit=5+b#c;d%e f?日"}, {"k=&", "v"}});
    EXPECT_EQ(request.url, "https://abc.example.co/rest/v1/files?storage_key=eq.a%26limit%3D5%2Bb%23c%3Bd%25e%20f%3F"
                           "%E6%97%A5&k%3D%26=v");
}

TEST_F(RequestBuilding, PathIsEncodedOnceKeepingSlashesAndPathCharacters) {
    HTTPRequest request =
        client.makeRequest("/storage/v1/object/files/user-1/日本語/a b%c;d/x+y=z&w@v!$'()*,~:.pdf", "POST", "t");
    EXPECT_EQ(request.url, "https://abc.example.co/storage/v1/object/files/user-1/%E6%97%A5%E6%9C%AC%E8%AA%9E/"
                           "a%20b%25c%3Bd/x+y=z&w@v!$'()*,~:.pdf");
}

TEST_F(RequestBuilding, HeadersInOrderWithExtraHeadersReplacingByName) {
    HTTPRequest plain = client.makeRequest("/a", "GET", std::nullopt);
    EXPECT_EQ(plain.headers, (std::vector<HTTPHeader>{{"apikey", "anon"}, {"accept", "application/json"}}));
    EXPECT_FALSE(plain.header("authorization"));

    HTTPRequest withExtras = client.makeRequest("/a", "GET", "tok", std::nullopt,
                                                {{"Accept", "text/plain"}, {"Prefer", "count=exact"}});
    EXPECT_EQ(withExtras.header("accept"), "text/plain");
    EXPECT_EQ(withExtras.header("Authorization"), "Bearer tok");
    EXPECT_EQ(withExtras.header("prefer"), "count=exact");
    EXPECT_EQ(withExtras.headers.size(), 4u);
    EXPECT_EQ(withExtras.idleTimeout, seconds(60));
}

TEST_F(RequestBuilding, BodyVariantWritesCompactJSONAndAlwaysJSONContentType) {
    JSONObject body{{"path", JSONValue::string("a/b")},
                    {"bytes", JSONValue::int64(5368709120)},
                    {"is_deleted", JSONValue::boolean(false)},
                    {"ingest_error", JSONValue::null()},
                    {"payload", JSONValue::object({})}};
    HTTPRequest request =
        client.makeRequest("/rest/v1/files", "PATCH", "tok", body, std::nullopt, {{"Content-Type", "text/plain"}});
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.headers.back(), (HTTPHeader{"Content-Type", "application/json"}));
    ASSERT_TRUE(request.body);
    EXPECT_EQ(nlohmann::json::parse(*request.body),
              nlohmann::json::parse(R"({"path":"a/b","bytes":5368709120,"is_deleted":false,)"
                                    R"("ingest_error":null,"payload":{}})"));
    EXPECT_NE(request.body->find(R"("a\/b")"), std::string::npos);
    EXPECT_EQ(request.body->find(' '), std::string::npos);
}

TEST(RequestBuildingErrors, UnusableBaseURLOrRelativePathIsInvalidURL) {
    TemporaryDirectory directory;
    auto store = std::make_shared<SessionStore>(directory.path() / "s.json", std::nullopt);
    for (const char* base : {"example.co", "https://", "http://exa mple.co"}) {
        SupabaseHTTPClient client(configFor(base), store);
        EXPECT_EQ(captureHTTPError([&] { client.makeRequest("/a", "GET", std::nullopt); }),
                  SupabaseHTTPError::invalidURL())
            << base;
    }
    SupabaseHTTPClient client(configFor("http://127.0.0.1:9"), store);
    EXPECT_EQ(captureHTTPError([&] { client.makeRequest("rest/v1/files", "GET", std::nullopt); }).description(),
              "Invalid Supabase URL");
}

TEST(Validation, StatusRules) {
    for (long status : {200L, 204L, 206L, 299L}) {
        EXPECT_NO_THROW(SupabaseHTTPClient::validate(HTTPResponse{status, {}, "not json"})) << status;
    }
    auto errorFor = [](long status) {
        return captureHTTPError([&] { SupabaseHTTPClient::validate(HTTPResponse{status, {}, ""}); });
    };
    EXPECT_EQ(errorFor(401).description(), "Supabase session is unauthorized");
    EXPECT_EQ(errorFor(300).description(), "Supabase request failed with status 300");
    EXPECT_EQ(errorFor(400).description(), "Supabase request failed with status 400");
    EXPECT_EQ(errorFor(403).description(), "Supabase request failed with status 403");
    EXPECT_EQ(errorFor(500).kind(), SupabaseHTTPError::Kind::message);
    EXPECT_EQ(errorFor(0).description(), "Invalid Supabase response");
    // A web page (a captive portal's) is no answer of the backend's, whatever its status.
    EXPECT_EQ(captureHTTPError([] {
                  SupabaseHTTPClient::validate(HTTPResponse{200, {{"Content-Type", "text/html"}}, "<html></html>"});
              }),
              SupabaseHTTPError::invalidResponse());
    EXPECT_EQ(SupabaseHTTPError::notAuthenticated().description(), "Not authenticated");
}

// What only something between the program and the backend answers, a
// proxy's 407 or a filter's block page at any status (told by its type, or by
// a first `<` after a byte-order mark and white space, whatever type it is
// served as), is no verdict on the session; the backend's own refusal, in
// JSON, still is, also after a byte-order mark.
TEST(Validation, AnAnswerFromInBetweenIsNoVerdictOnTheSession) {
    auto failureOf = [](const HTTPResponse& response) {
        try {
            SupabaseHTTPClient::validate(response);
        } catch (...) {
            return std::current_exception();
        }
        return std::exception_ptr();
    };
    const std::vector<HTTPHeader> json{{"Content-Type", "application/json"}}, page{{"Content-Type", "Text/HTML"}};
    for (const HTTPResponse& between : {HTTPResponse{407, json, R"({"message":"Sign in"})"},
                                        HTTPResponse{403, page, "<html>Blocked</html>"},
                                        HTTPResponse{401, page, "<html>Sign in</html>"},
                                        HTTPResponse{404, {}, "\n <!DOCTYPE html>"}}) {
        EXPECT_TRUE(SupabaseHTTPClient::isUnanswered(failureOf(between))) << between.status;
        EXPECT_FALSE(SupabaseHTTPClient::refusesSession(failureOf(between))) << between.status;
    }
    const std::string mark = "\xEF\xBB\xBF";
    for (const char* type : {"text/plain", "application/octet-stream", "application/json"}) {
        const std::vector<HTTPHeader> served{{"Content-Type", type}};
        for (const std::string& body : {mark + "<!DOCTYPE html><html>Blocked</html>", mark + "\r\n\f\v\t <html>",
                                        std::string("\f<html>")}) {
            for (long status : {403L, 401L}) {
                const std::exception_ptr failure = failureOf(HTTPResponse{status, served, body});
                EXPECT_TRUE(SupabaseHTTPClient::isUnanswered(failure)) << status << " " << type << " " << body;
                EXPECT_FALSE(SupabaseHTTPClient::refusesSession(failure)) << status << " " << type << " " << body;
            }
            // Nor is it the request carried out, where the caller reads no body.
            EXPECT_EQ(captureHTTPError([&] { SupabaseHTTPClient::validate(HTTPResponse{200, served, body}); }),
                      SupabaseHTTPError::invalidResponse())
                << type << " " << body;
        }
    }
    for (long status : {401L, 400L, 403L}) {
        EXPECT_TRUE(SupabaseHTTPClient::refusesSession(failureOf(HTTPResponse{status, json, R"({"message":"No"})"})))
            << status;
        EXPECT_TRUE(
            SupabaseHTTPClient::refusesSession(failureOf(HTTPResponse{status, json, mark + R"({"message":"No"})"})))
            << status;
    }
}

std::vector<std::string> decodeStrings(const nlohmann::json& value) {
    if (!value.is_array()) {
        throw JSONDecodingError("not an array");
    }
    return value.get<std::vector<std::string>>();
}

TEST(Decoding, EnvelopeOnlyWhenTheExpectedShapeFails) {
    EXPECT_EQ(SupabaseHTTPClient::decode(R"(["a"])", decodeStrings), std::vector<std::string>{"a"});
    EXPECT_EQ(captureHTTPError([] { SupabaseHTTPClient::decode(R"({"message":"Row too big"})", decodeStrings); }),
              SupabaseHTTPError::message("Row too big"));
    for (const char* body : {R"({"message":12})", "", "not json", "{\"message\":", "null"}) {
        EXPECT_THROW(SupabaseHTTPClient::decode(body, decodeStrings), JSONDecodingError) << body;
    }
    // A library type error inside the reader is a decoding error too, never a crash.
    EXPECT_THROW(SupabaseHTTPClient::decode(R"([1])", decodeStrings), JSONDecodingError);
}

// Decoding from the chosen members only gives what decoding the whole answer
// gives, value or error, whatever else the answer holds.
TEST(Decoding, ChosenMembersDecodeLikeTheWholeAnswer) {
    auto outcome = [](auto decodeWith) -> std::string {
        try {
            const StoredUser user = decodeWith([](const nlohmann::json& answer) { return StoredUser::fromJSON(answer); });
            return "user " + user.id + " " + user.email.value_or("-");
        } catch (const SupabaseHTTPError& error) {
            return "message " + error.description();
        } catch (const JSONDecodingError& error) {
            return std::string("decoding ") + error.what();
        }
    };
    for (const char* body :
         {R"({"aud":"x","id":"u1","email":"a@b.c","identities":[{"id":"other"}],"app_metadata":{"id":"x"}})",
          R"({"identities":[{"id":"nested","email":"n@b.c"}],"user_metadata":{"email":"m@b.c"}})",
          R"({"id":"first","id":"last","email":null})", R"({"id":{"v":"u1"}})", R"({"id":["u1"]})",
          R"({"id":"u1","email":7})", R"({"id":"u1","email":{"a":1}})", R"({"message":"User not found"})",
          R"({"message":{"text":"x"}})", R"(["id","u1"])", R"("u1")", "null", "", "not json",
          R"({"id":"u1"} trailing)", R"({"id":"u1")", R"({"id":"\u00e9\/x","email":"\ud83d\ude00"})",
          "{\"id\":\"\xff\"}"}) {
        EXPECT_EQ(outcome([&](auto parse) { return SupabaseHTTPClient::decodeMembers(body, {"id", "email"}, parse); }),
                  outcome([&](auto parse) { return SupabaseHTTPClient::decode(body, parse); }))
            << body;
    }
}

Timestamp utc(int y, unsigned m, unsigned d, int h, int min, int s) {
    return sys_days{year{y} / month{m} / day{d}} + hours{h} + minutes{min} + seconds{s};
}

TEST(Dates, InternetDateTimeWithAndWithoutFraction) {
    auto decode = [](const char* text) { return SupabaseHTTPClient::decodeSupabaseDate(nlohmann::json(text)); };
    EXPECT_EQ(decode("2024-02-29T10:20:30Z"), utc(2024, 2, 29, 10, 20, 30));
    EXPECT_EQ(decode("2024-02-29T10:20:30.25Z"), utc(2024, 2, 29, 10, 20, 30) + milliseconds(250));
    EXPECT_EQ(decode("2026-12-08T19:30:00.123456+00:00"), utc(2026, 12, 8, 19, 30, 0) + microseconds(123456));
    EXPECT_EQ(decode("2024-01-01T02:00:00+02:30"), utc(2023, 12, 31, 23, 30, 0));
    EXPECT_EQ(decode("2024-01-01T00:00:00-01:00"), utc(2024, 1, 1, 1, 0, 0));

    for (const char* bad : {"2024-01-01 10:00:00Z", "2024-01-01T10:00:00", "2023-02-29T10:00:00Z",
                            "2024-01-01T10:00:00.Z", "2024-01-01T10:00Z", ""}) {
        try {
            decode(bad);
            ADD_FAILURE() << bad;
        } catch (const JSONDecodingError& error) {
            EXPECT_EQ(std::string(error.what()), std::string("Invalid Supabase date: ") + bad);
        }
    }
    EXPECT_THROW(SupabaseHTTPClient::decodeSupabaseDate(nlohmann::json(1700000000)), JSONDecodingError);
    EXPECT_EQ(SupabaseHTTPClient::optionalSupabaseDate(nlohmann::json::parse(R"({"created_at":null})"), "created_at"),
              std::nullopt);
    EXPECT_EQ(SupabaseHTTPClient::optionalSupabaseDate(nlohmann::json::object(), "created_at"), std::nullopt);
}

TEST(Dates, HTTPDatesInThePreferredAndTheAsctimeFormOnly) {
    EXPECT_EQ(SupabaseHTTPClient::parseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT"), utc(1994, 11, 6, 8, 49, 37));
    EXPECT_EQ(SupabaseHTTPClient::parseHTTPDate("Sun Nov  6 08:49:37 1994"), utc(1994, 11, 6, 8, 49, 37));
    EXPECT_EQ(SupabaseHTTPClient::parseHTTPDate("Thu Feb 29 23:59:59 2024"), utc(2024, 2, 29, 23, 59, 59));
    for (const char* bad : {"Sunday, 06-Nov-94 08:49:37 GMT", "Mon, 06 Nov 1994 08:49:37 GMT",
                            "Sun, 06 Nov 1994 08:49:37 UTC", "Sat, 29 Feb 2025 10:00:00 GMT",
                            "Sun, 06 Nov 1994 08:49:60 GMT", "Sun Nov 6 08:49:37 1994", ""}) {
        EXPECT_EQ(SupabaseHTTPClient::parseHTTPDate(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace tarnwell::testing
