#include "Client/URLBuilder.hpp"

#include <cctype>

namespace tarnwell {

namespace {

bool isAlphaNumeric(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isPathAllowed(unsigned char c) {
    if (isAlphaNumeric(c)) {
        return true;
    }
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+':
    case ',': case '-': case '.': case '/': case ':': case '=': case '@': case '_': case '~':
        return true;
    default:
        return false;
    }
}

bool isQueryAllowed(unsigned char c) {
    if (isAlphaNumeric(c)) {
        return true;
    }
    switch (c) {
    case '-': case '.': case '_': case '~': case '!': case '$': case '\'': case '(': case ')':
    case '*': case ',': case '/': case ':': case '@':
        return true;
    default:
        return false;
    }
}

template <class Allowed>
std::string percentEncode(std::string_view text, Allowed allowed) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (allowed(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0F]);
        }
    }
    return out;
}

bool isSchemeCharacter(unsigned char c) {
    return isAlphaNumeric(c) || c == '+' || c == '-' || c == '.';
}

// Characters that may stand in an authority as written: unreserved,
// sub-delims, ":", "@", "[", "]" and percent escapes.
bool isAuthorityCharacter(unsigned char c) {
    if (isAlphaNumeric(c)) {
        return true;
    }
    switch (c) {
    case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '\'': case '(':
    case ')': case '*': case '+': case ',': case ';': case '=': case ':': case '@': case '[':
    case ']': case '%':
        return true;
    default:
        return false;
    }
}

} // namespace

URLBuilder::URLBuilder(std::string scheme, std::string authority)
    : scheme_(std::move(scheme)), authority_(std::move(authority)) {}

std::optional<URLBuilder> URLBuilder::parse(std::string_view baseURL) {
    auto colon = baseURL.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(baseURL[0]))) {
        return std::nullopt;
    }
    std::string_view scheme = baseURL.substr(0, colon);
    for (char c : scheme) {
        if (!isSchemeCharacter(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    std::string_view rest = baseURL.substr(colon + 1);
    if (rest.substr(0, 2) != "//") {
        return std::nullopt;
    }
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    // The host is what follows the user info; it must not be empty.
    std::string_view hostAndPort = authority.substr(authority.rfind('@') == std::string_view::npos
                                                        ? 0
                                                        : authority.rfind('@') + 1);
    if (hostAndPort.empty() || hostAndPort[0] == ':') {
        return std::nullopt;
    }
    for (char c : authority) {
        if (!isAuthorityCharacter(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    std::string lowerScheme;
    for (char c : scheme) {
        lowerScheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return URLBuilder(std::move(lowerScheme), std::string(authority));
}

std::optional<std::string> URLBuilder::build(std::string_view path,
                                             const std::optional<URLQueryItems>& queryItems) const {
    if (!path.empty() && path.front() != '/') {
        return std::nullopt;
    }
    std::string url = scheme_ + "://" + authority_ + encodePath(path);
    if (queryItems && !queryItems->empty()) {
        char separator = '?';
        for (const auto& item : *queryItems) {
            url.push_back(separator);
            url += encodeQueryComponent(item.name);
            url.push_back('=');
            url += encodeQueryComponent(item.value);
            separator = '&';
        }
    }
    return url;
}

std::string URLBuilder::encodePath(std::string_view path) { return percentEncode(path, isPathAllowed); }

std::string URLBuilder::encodeQueryComponent(std::string_view text) { return percentEncode(text, isQueryAllowed); }

} // namespace tarnwell
