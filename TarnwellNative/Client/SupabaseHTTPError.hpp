// The hosted client's own failures, each with the text the interface shows.
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace tarnwell {

class SupabaseHTTPError : public std::exception {
public:
    enum class Kind { message, notAuthenticated, invalidURL, unauthorized, invalidResponse };

    // The payload is shown as it is.
    static SupabaseHTTPError message(std::string text);
    // An answer with a status outside 200-299 other than 401:
    // "Supabase request failed with status " and the number.
    static SupabaseHTTPError failedStatus(long status);
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
    // The status of the answer behind a failedStatus() error; none otherwise.
    std::optional<long> status() const noexcept { return status_; }

    friend bool operator==(const SupabaseHTTPError& a, const SupabaseHTTPError& b) {
        return a.kind_ == b.kind_ && a.description_ == b.description_;
    }

private:
    SupabaseHTTPError(Kind kind, std::string description);

    Kind kind_;
    std::string description_;
    std::optional<long> status_;
};

} // namespace tarnwell
