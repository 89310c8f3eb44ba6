// The hosted client's own failures, each with the text the interface shows.
#pragma once

#include <exception>
#include <string>

namespace tarnwell {

class SupabaseHTTPError : public std::exception {
public:
    enum class Kind { message, notAuthenticated, invalidURL, unauthorized, invalidResponse };

    // The payload is shown as it is.
    static SupabaseHTTPError message(std::string text);
    // "Not authenticated"
    static SupabaseHTTPError notAuthenticated();
    // "Invalid Supabase URL"
    static SupabaseHTTPError invalidURL();
    // "Supabase session is unauthorized"
    static SupabaseHTTPError unauthorized();
    // "Invalid Supabase response"
    static SupabaseHTTPError invalidResponse();

    Kind kind() const noexcept { return kind_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const SupabaseHTTPError& a, const SupabaseHTTPError& b) {
        return a.kind_ == b.kind_ && a.description_ == b.description_;
    }

private:
    SupabaseHTTPError(Kind kind, std::string description);

    Kind kind_;
    std::string description_;
};

} // namespace tarnwell
