#include "Client/SupabaseHTTPError.hpp"

#include <utility>

namespace tarnwell {

SupabaseHTTPError::SupabaseHTTPError(Kind kind, std::string description)
    : kind_(kind), description_(std::move(description)) {}

SupabaseHTTPError SupabaseHTTPError::message(std::string text) {
    return SupabaseHTTPError(Kind::message, std::move(text));
}

SupabaseHTTPError SupabaseHTTPError::failedStatus(long status) {
    SupabaseHTTPError error(Kind::message, "Supabase request failed with status " + std::to_string(status));
    error.status_ = status;
    return error;
}

SupabaseHTTPError SupabaseHTTPError::notAuthenticated() {
    return SupabaseHTTPError(Kind::notAuthenticated, "Not authenticated");
}

SupabaseHTTPError SupabaseHTTPError::invalidURL() {
    return SupabaseHTTPError(Kind::invalidURL, "Invalid Supabase URL");
}

SupabaseHTTPError SupabaseHTTPError::unauthorized() {
    return SupabaseHTTPError(Kind::unauthorized, "Supabase session is unauthorized");
}

SupabaseHTTPError SupabaseHTTPError::invalidResponse() {
    return SupabaseHTTPError(Kind::invalidResponse, "Invalid Supabase response");
}

} // namespace tarnwell
