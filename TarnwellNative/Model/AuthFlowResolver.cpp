#include "Model/AuthFlowResolver.hpp"

namespace tarnwell {

QString AuthFlowResolver::accountLabel(const std::optional<StoredUser>& user) {
    if (user && user->email) return QString::fromStdString(*user->email);
    if (user) return QString::fromStdString(user->id);
    return QStringLiteral("user");
}

SignupResolution AuthFlowResolver::resolveSignup(const std::optional<StoredSession>& session,
                                                 const std::optional<StoredUser>& user) {
    if (session) {
        std::optional<StoredUser> resolved = session->user ? session->user : user;
        return SignupResolution{resolved, QStringLiteral("Account created"),
                                QStringLiteral("Signup complete. Logged in as ") + accountLabel(resolved), true,
                                false};
    }
    return SignupResolution{std::nullopt, QStringLiteral("Check your email to confirm your account, then log in."),
                            std::nullopt, false, true};
}

} // namespace tarnwell
