// Builds request URLs from the configured service URL: the path replaces the
// base URL's own path, the query items replace its query, scheme, user info,
// host and port stay. Paths and query items are given as plain text and are
// percent-encoded here, once, as UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell {

struct URLQueryItem {
    std::string name;
    std::string value;

    friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

using URLQueryItems = std::vector<URLQueryItem>;

class URLBuilder {
public:
    // None when the text is not an absolute URL with a scheme and a host.
    static std::optional<URLBuilder> parse(std::string_view baseURL);

    // None when the path is neither empty nor begins with "/".
    std::optional<std::string> build(std::string_view path, const std::optional<URLQueryItems>& queryItems) const;

    const std::string& scheme() const { return scheme_; }
    const std::string& authority() const { return authority_; }

    // Everything but ASCII letters, digits and "!$&'()*+,-./:=@_~" becomes
    // %XX per UTF-8 byte (upper-case hex); "%" itself is encoded.
    static std::string encodePath(std::string_view path);
    // Only ASCII letters, digits and "-._~!$'()*,/:@" stay; "&", "=", "+",
    // "#", ";", "?", "%", blanks and every non-ASCII byte are encoded, so a
    // value can never end its parameter, start another, or be read back as
    // anything but itself.
    static std::string encodeQueryComponent(std::string_view text);

private:
    URLBuilder(std::string scheme, std::string authority);

    std::string scheme_;
    std::string authority_;
};

} // namespace tarnwell
