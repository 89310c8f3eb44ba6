// The request core: building requests, judging answers, decoding bodies and
// dates, and the authenticated GET and PATCH that the other operations use.
#include "Client/SupabaseHTTPClient.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string_view>

#include "State/JSONWriter.hpp"

namespace tarnwell {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `position`.
std::optional<int> readNumber(std::string_view text, size_t& position, size_t count) {
    if (position + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = text[position + i];
        if (!isDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    position += count;
    return value;
}

bool expect(std::string_view text, size_t& position, char c) {
    if (position < text.size() && text[position] == c) {
        ++position;
        return true;
    }
    return false;
}

// The internet date-time form: 2024-05-01T12:30:45Z, 2024-05-01T12:30:45.123456+02:00.
// Fraction digits beyond nanoseconds are read and dropped.
std::optional<Timestamp> parseInternetDateTime(std::string_view text) {
    using namespace std::chrono;
    size_t p = 0;
    auto yearValue = readNumber(text, p, 4);
    if (!yearValue || !expect(text, p, '-')) return std::nullopt;
    auto monthValue = readNumber(text, p, 2);
    if (!monthValue || !expect(text, p, '-')) return std::nullopt;
    auto dayValue = readNumber(text, p, 2);
    if (!dayValue || !expect(text, p, 'T')) return std::nullopt;
    auto hourValue = readNumber(text, p, 2);
    if (!hourValue || !expect(text, p, ':')) return std::nullopt;
    auto minuteValue = readNumber(text, p, 2);
    if (!minuteValue || !expect(text, p, ':')) return std::nullopt;
    auto secondValue = readNumber(text, p, 2);
    if (!secondValue) return std::nullopt;

    std::int64_t fractionNanoseconds = 0;
    if (expect(text, p, '.')) {
        size_t digits = 0;
        std::int64_t scale = 100000000;
        while (p < text.size() && isDigit(text[p])) {
            if (scale > 0) {
                fractionNanoseconds += (text[p] - '0') * scale;
                scale /= 10;
            }
            ++p;
            ++digits;
        }
        if (digits == 0) return std::nullopt;
    }

    int offsetMinutes = 0;
    if (expect(text, p, 'Z')) {
        offsetMinutes = 0;
    } else if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        int sign = text[p] == '-' ? -1 : 1;
        ++p;
        auto offsetHours = readNumber(text, p, 2);
        if (!offsetHours || !expect(text, p, ':')) return std::nullopt;
        auto offsetMins = readNumber(text, p, 2);
        if (!offsetMins || *offsetHours > 23 || *offsetMins > 59) return std::nullopt;
        offsetMinutes = sign * (*offsetHours * 60 + *offsetMins);
    } else {
        return std::nullopt;
    }
    if (p != text.size()) return std::nullopt;

    year_month_day date{year{*yearValue}, month{static_cast<unsigned>(*monthValue)},
                        day{static_cast<unsigned>(*dayValue)}};
    if (!date.ok() || *hourValue > 23 || *minuteValue > 59 || *secondValue > 59) {
        return std::nullopt;
    }
    auto point = sys_days{date} + hours{*hourValue} + minutes{*minuteValue} + seconds{*secondValue} -
                 minutes{offsetMinutes};
    return time_point_cast<system_clock::duration>(point + nanoseconds{fractionNanoseconds});
}

// Reads one of `names` (each three letters, matched exactly) at `position`;
// its index.
template <std::size_t N>
std::optional<unsigned> readName(std::string_view text, size_t& position, const std::string_view (&names)[N]) {
    for (unsigned i = 0; i < N; ++i) {
        if (text.substr(position, 3) == names[i]) {
            position += 3;
            return i;
        }
    }
    return std::nullopt;
}

// An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT" or "Sun Nov  6 08:49:37 1994".
// The day's name must be the date's.
std::optional<Timestamp> parseHTTPDateText(std::string_view text) {
    using namespace std::chrono;
    static constexpr std::string_view dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::string_view monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    size_t p = 0;
    std::optional<int> dayValue, yearValue, hourValue, minuteValue, secondValue;
    std::optional<unsigned> monthIndex;
    auto readTime = [&] {
        hourValue = readNumber(text, p, 2);
        if (!hourValue || !expect(text, p, ':')) return false;
        minuteValue = readNumber(text, p, 2);
        if (!minuteValue || !expect(text, p, ':')) return false;
        secondValue = readNumber(text, p, 2);
        return secondValue.has_value();
    };

    const std::optional<unsigned> dayName = readName(text, p, dayNames);
    if (!dayName) return std::nullopt;
    if (expect(text, p, ',')) {
        if (!expect(text, p, ' ')) return std::nullopt;
        dayValue = readNumber(text, p, 2);
        if (!dayValue || !expect(text, p, ' ')) return std::nullopt;
        monthIndex = readName(text, p, monthNames);
        if (!monthIndex || !expect(text, p, ' ')) return std::nullopt;
        yearValue = readNumber(text, p, 4);
        if (!yearValue || !expect(text, p, ' ') || !readTime()) return std::nullopt;
        if (text.substr(p) != " GMT") return std::nullopt;
    } else {
        if (!expect(text, p, ' ')) return std::nullopt;
        monthIndex = readName(text, p, monthNames);
        if (!monthIndex || !expect(text, p, ' ')) return std::nullopt;
        dayValue = expect(text, p, ' ') ? readNumber(text, p, 1) : readNumber(text, p, 2);
        if (!dayValue || !expect(text, p, ' ') || !readTime() || !expect(text, p, ' ')) return std::nullopt;
        yearValue = readNumber(text, p, 4);
        if (!yearValue || p != text.size()) return std::nullopt;
    }

    const year_month_day date{year{*yearValue}, month{*monthIndex + 1}, day{static_cast<unsigned>(*dayValue)}};
    if (!date.ok() || weekday{sys_days{date}}.c_encoding() != *dayName || *hourValue > 23 || *minuteValue > 59 ||
        *secondValue > 59) {
        return std::nullopt;
    }
    return time_point_cast<system_clock::duration>(sys_days{date} + hours{*hourValue} + minutes{*minuteValue} +
                                                   seconds{*secondValue});
}

const char* typeName(const nlohmann::json& value) {
    return value.type_name();
}

// Reads a JSON text as the parser's events and keeps the chosen members of a
// top-level object: scalars as they are, an object or array as an empty one
// of its kind. A top-level array is kept empty, a top-level scalar as it is.
// Members that occur twice keep the last value, as in a full parse.
class MemberCollector {
public:
    using json = nlohmann::json;

    explicit MemberCollector(std::initializer_list<std::string_view> keys) : keys_(keys) {}

    json result;

    bool null() { return scalar(nullptr); }
    bool boolean(bool value) { return scalar(value); }
    bool number_integer(json::number_integer_t value) { return scalar(value); }
    bool number_unsigned(json::number_unsigned_t value) { return scalar(value); }
    bool number_float(json::number_float_t value, const json::string_t&) { return scalar(value); }
    bool string(json::string_t& value) { return scalar(std::move(value)); }
    bool binary(json::binary_t&) { return true; } // never produced from JSON text
    bool start_object(std::size_t) { return open(json::value_t::object); }
    bool start_array(std::size_t) { return open(json::value_t::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(json::string_t& name) {
        if (depth_ == 1) {
            wanted_ = std::find(keys_.begin(), keys_.end(), name) != keys_.end() || name == "message";
            if (wanted_) {
                key_ = std::move(name);
            }
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    // Where the value that just began goes, if anywhere.
    json* slot() {
        if (depth_ == 0) {
            return &result;
        }
        if (depth_ == 1 && wanted_ && result.is_object()) {
            return &result[key_];
        }
        return nullptr;
    }
    bool scalar(json value) {
        if (json* target = slot()) {
            *target = std::move(value);
        }
        return true;
    }
    bool open(json::value_t kind) {
        if (json* target = slot()) {
            *target = json(kind);
        }
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    std::initializer_list<std::string_view> keys_;
    std::size_t depth_ = 0;
    bool wanted_ = false;
    std::string key_;
};

} // namespace

SupabaseHTTPClient::SupabaseHTTPClient(PublicConfig config, std::shared_ptr<SessionStore> sessionStore,
                                       std::shared_ptr<HTTPTransport> transport)
    : config_(std::move(config)),
      baseURL_(URLBuilder::parse(config_.supabaseURL)),
      sessionStore_(std::move(sessionStore)),
      transport_(std::move(transport)) {}

HTTPRequest SupabaseHTTPClient::makeRequest(const std::string& path, const std::string& method,
                                            const std::optional<std::string>& bearerToken,
                                            const std::optional<URLQueryItems>& queryItems,
                                            const ExtraHeaders& extraHeaders) const {
    if (!baseURL_) {
        throw SupabaseHTTPError::invalidURL();
    }
    std::optional<std::string> url = baseURL_->build(path, queryItems);
    if (!url) {
        throw SupabaseHTTPError::invalidURL();
    }
    HTTPRequest request;
    request.url = std::move(*url);
    request.method = method;
    request.idleTimeout = std::chrono::seconds(60);
    request.setHeader("apikey", config_.supabaseAnonKey);
    request.setHeader("accept", "application/json");
    if (bearerToken) {
        request.setHeader("Authorization", "Bearer " + *bearerToken);
    }
    for (const auto& [name, value] : extraHeaders) {
        request.setHeader(name, value);
    }
    return request;
}

HTTPRequest SupabaseHTTPClient::makeRequest(const std::string& path, const std::string& method,
                                            const std::optional<std::string>& bearerToken, const JSONObject& body,
                                            const std::optional<URLQueryItems>& queryItems,
                                            const ExtraHeaders& extraHeaders) const {
    HTTPRequest request = makeRequest(path, method, bearerToken, queryItems, extraHeaders);
    request.setHeader("content-type", "application/json");
    request.body = JSONWriter::write(toJSON(body));
    return request;
}

HTTPResponse SupabaseHTTPClient::send(const HTTPRequest& request, std::stop_token stop) const {
    return transport_->send(request, std::move(stop));
}

namespace {

// A page for a browser, such as a captive portal puts in place of every
// answer before its terms are accepted, or a network filter in place of what
// it blocks. The backend answers in JSON only. Such a page is told by its
// type, or, whatever type it is served as, by its first character: a `<`
// after an optional UTF-8 byte-order mark and any white space.
bool isWebPage(const HTTPResponse& response) {
    const std::string type = response.header("Content-Type").value_or("");
    if (type.size() >= 9 && std::equal(type.begin(), type.begin() + 9, "text/html",
                                       [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
        return true;
    }
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    std::string_view body = response.body;
    if (body.starts_with(byteOrderMark)) body.remove_prefix(byteOrderMark.size());
    const auto first = body.find_first_not_of(" \t\r\n\f\v");
    return first != std::string_view::npos && body[first] == '<';
}

} // namespace

void SupabaseHTTPClient::validate(const HTTPResponse& response) {
    if (response.status < 100 || response.status > 999) {
        throw SupabaseHTTPError::invalidResponse();
    }
    // Whatever its status: a page is neither the backend's word that the
    // request was carried out (also where the caller does not read the body)
    // nor its refusal.
    if (isWebPage(response)) {
        throw SupabaseHTTPError::invalidResponse();
    }
    if (response.status >= 200 && response.status <= 299) {
        return;
    }
    if (response.status == 401) {
        throw SupabaseHTTPError::unauthorized();
    }
    throw SupabaseHTTPError::failedStatus(response.status);
}

namespace {

// Statuses with which a backend says "not now" rather than "no".
bool isPassingStatus(long status) { return status == 408 || status == 429 || (status >= 500 && status <= 599); }

// Statuses that only something between the program and the backend gives:
// a redirect (the backend sends none, while a captive portal redirects every
// request to its login page) and a proxy's demand for its own sign-in.
bool isFromInBetween(long status) { return (status >= 300 && status <= 399) || status == 407; }

} // namespace

bool SupabaseHTTPClient::isUnanswered(const std::exception_ptr& failure) {
    if (!failure) return false;
    try {
        std::rethrow_exception(failure);
    } catch (const TransportError& error) {
        return error.kind() == TransportError::Kind::failed || error.kind() == TransportError::Kind::timedOut;
    } catch (const SupabaseHTTPError& error) {
        if (error.kind() == SupabaseHTTPError::Kind::invalidResponse) return true;
        return error.status() && (isPassingStatus(*error.status()) || isFromInBetween(*error.status()));
    } catch (const JSONDecodingError&) {
        // A 2xx whose body is not the backend's JSON came from someone else.
        return true;
    } catch (...) {
        return false;
    }
}

bool SupabaseHTTPClient::refusesSession(const std::exception_ptr& failure) {
    if (!failure) return false;
    try {
        std::rethrow_exception(failure);
    } catch (const SupabaseHTTPError& error) {
        if (error.kind() == SupabaseHTTPError::Kind::unauthorized ||
            error.kind() == SupabaseHTTPError::Kind::notAuthenticated) {
            return true;
        }
        if (!error.status()) return false;
        const long status = *error.status();
        return status >= 400 && status <= 499 && !isPassingStatus(status) && !isFromInBetween(status);
    } catch (...) {
        return false;
    }
}

std::optional<nlohmann::json> SupabaseHTTPClient::parseJSON(std::string_view bytes) {
    nlohmann::json document = nlohmann::json::parse(bytes, nullptr, false);
    if (document.is_discarded()) {
        return std::nullopt;
    }
    return document;
}

std::optional<nlohmann::json> SupabaseHTTPClient::parseJSONMembers(std::string_view bytes,
                                                                   std::initializer_list<std::string_view> keys) {
    MemberCollector collector(keys);
    if (!nlohmann::json::sax_parse(bytes, &collector)) {
        return std::nullopt;
    }
    return std::move(collector.result);
}

void SupabaseHTTPClient::throwNotJSON() {
    // The body's text is left out on purpose: it may hold tokens.
    throw JSONDecodingError("The given data was not valid JSON.");
}

void SupabaseHTTPClient::throwIfErrorEnvelope(const nlohmann::json& document) {
    if (document.is_object()) {
        auto message = document.find("message");
        if (message != document.end() && message->is_string()) {
            throw SupabaseHTTPError::message(message->get<std::string>());
        }
    }
}

Timestamp SupabaseHTTPClient::decodeSupabaseDate(const nlohmann::json& value) {
    if (!value.is_string()) {
        throw JSONDecodingError(std::string("Expected a date string but found ") + typeName(value));
    }
    const std::string& text = value.get_ref<const std::string&>();
    if (auto date = parseInternetDateTime(text)) {
        return *date;
    }
    throw JSONDecodingError("Invalid Supabase date: " + text);
}

std::optional<Timestamp> SupabaseHTTPClient::parseHTTPDate(std::string_view text) {
    return parseHTTPDateText(text);
}

std::optional<Timestamp> SupabaseHTTPClient::optionalSupabaseDate(const nlohmann::json& object, const char* key) {
    json_fields::requireObject(object, "a row");
    auto member = object.find(key);
    if (member == object.end() || member->is_null()) {
        return std::nullopt;
    }
    return decodeSupabaseDate(*member);
}

void SupabaseHTTPClient::patchWithoutResponse(const std::string& path, const URLQueryItems& queryItems,
                                              const JSONObject& body, std::stop_token stop) {
    runWithRefreshedSession(
        [&](const StoredSession& session) {
            HTTPResponse response = send(
                makeRequest(path, "PATCH", session.accessToken, body, queryItems, {{"Prefer", "return=minimal"}}), stop);
            validate(response);
        },
        stop);
}

std::string SupabaseHTTPClient::inFilter(const std::vector<std::string>& ids) {
    std::string filter = "in.(";
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) {
            filter.push_back(',');
        }
        filter += ids[i];
    }
    filter.push_back(')');
    return filter;
}

} // namespace tarnwell
