// A small wrapper around libcurl: sends one built request and returns its
// status, headers and body. One easy handle per request; connections, DNS
// answers and TLS sessions are shared between requests.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell {

struct HTTPHeader {
    std::string name;
    std::string value;

    friend bool operator==(const HTTPHeader&, const HTTPHeader&) = default;
};

struct HTTPRequest {
    std::string method = "GET";
    std::string url;
    // Sent in this order.
    std::vector<HTTPHeader> headers;
    // A body held in memory ...
    std::optional<std::string> body;
    // ... or bytes the caller holds, unchanged, until send() returns: sent
    // from there, without a copy ...
    std::optional<std::string_view> borrowedBody;
    // ... or one streamed from a file, as many bytes as the file held when
    // the request started.
    std::optional<std::filesystem::path> bodyFile;
    // Connecting, and any stretch in which no byte is received and the server
    // acknowledges no byte sent, may last this long; the whole exchange has
    // no limit.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
    // Whether the request may safely reach the server twice. A request that
    // is not is never resent by the transport: it goes out on a connection
    // that was in use moments before (or a new one), and an answer lost on
    // the way back is a TransportError. When unset, GET, HEAD, PUT, DELETE,
    // OPTIONS and PATCH are taken as idempotent and every other method
    // (POST) as not.
    std::optional<bool> idempotent;
    // An answer (headers and body) larger than this ends the request with
    // Kind::answerTooLarge; what was received is dropped.
    std::size_t maximumAnswerBytes = std::size_t{64} << 20;

    // The value of the first header of that name (names match without regard
    // to case), or none.
    std::optional<std::string> header(std::string_view name) const;
    // Replaces the value of an existing header of that name in place, or
    // appends the header.
    void setHeader(std::string name, std::string value);
    // `idempotent` when set, else what the method implies.
    bool mayBeResent() const;
};

struct HTTPResponse {
    long status = 0;
    // The headers of the final answer, names as received, values trimmed.
    std::vector<HTTPHeader> headers;
    std::string body;

    std::optional<std::string> header(std::string_view name) const;
};

// The request did not get an answer: no connection, time-out, cancellation,
// a body file that could not be read, and the like.
class TransportError : public std::runtime_error {
public:
    enum class Kind { failed, timedOut, cancelled, fileUnreadable, fileShrank, answerTooLarge };

    TransportError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

class HTTPTransport {
public:
    HTTPTransport();
    ~HTTPTransport();
    HTTPTransport(const HTTPTransport&) = delete;
    HTTPTransport& operator=(const HTTPTransport&) = delete;

    // The process-wide transport.
    static std::shared_ptr<HTTPTransport> shared();

    // Blocks until the whole answer is in. Throws TransportError; a stop
    // request ends the exchange at once with Kind::cancelled. Safe to call
    // from any number of threads at once.
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop = {}) const;

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

} // namespace tarnwell
