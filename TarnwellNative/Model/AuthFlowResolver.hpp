// What a finished sign-up means for the application model.
#pragma once

#include <optional>

#include <QString>

#include "State/SharedModels.hpp"

namespace tarnwell {

struct SignupResolution {
    std::optional<StoredUser> currentUser;
    QString authStatus;
    std::optional<QString> logLine;
    bool clearPassword = false;
    bool clearPersistedSession = false;

    friend bool operator==(const SignupResolution&, const SignupResolution&) = default;
};

class AuthFlowResolver {
public:
    AuthFlowResolver() = delete;

    static SignupResolution resolveSignup(const std::optional<StoredSession>& session,
                                          const std::optional<StoredUser>& user);
    // The e-mail, else the id, else "user".
    static QString accountLabel(const std::optional<StoredUser>& user);
};

} // namespace tarnwell
