#include "BackendAuth.hpp"

#include <algorithm>
#include <stdexcept>

namespace tarnwell::testing::detail {

using nlohmann::json;

const AuthUser& AuthStore::addUser(const std::string& email, const std::string& password, bool confirmed) {
  const auto key = toLower(email);
  if (usersByEmail_.count(key)) throw std::invalid_argument("account exists: " + email);
  AuthUser user;
  user.id = random_.uuid();
  user.email = key;
  user.password = password;
  user.confirmed = confirmed;
  user.createdAt = nowMicros();
  if (!confirmed) user.confirmationSentAt = user.createdAt;
  usersByEmail_[key] = user.id;
  return users_[user.id] = user;
}

AuthUser* AuthStore::userByEmail(const std::string& email) {
  const auto it = usersByEmail_.find(toLower(email));
  if (it == usersByEmail_.end()) return nullptr;
  return &users_.at(it->second);
}

const AuthUser* AuthStore::userById(const std::string& id) const {
  const auto it = users_.find(id);
  return it == users_.end() ? nullptr : &it->second;
}

std::vector<const AuthUser*> AuthStore::users() const {
  std::vector<const AuthUser*> all;
  for (const auto& [id, user] : users_) all.push_back(&user);
  std::sort(all.begin(), all.end(), [](const AuthUser* a, const AuthUser* b) { return a->email < b->email; });
  return all;
}

std::string AuthStore::issueAccessToken(const std::string& userId, const std::string& family, Micros& expiresAt) {
  const Micros now = nowMicros();
  expiresAt = now + settings_.accessTokenLifetime.count() * 1000000;
  const AuthUser* user = userById(userId);
  const json header = {{"alg", "HS256"}, {"typ", "JWT"}};
  const json claims = {{"sub", userId},
                       {"email", user ? user->email : ""},
                       {"aud", "authenticated"},
                       {"role", "authenticated"},
                       {"session_id", family},
                       {"iat", now / 1000000},
                       {"exp", expiresAt / 1000000}};
  std::string token = base64url(header.dump()) + "." + base64url(claims.dump()) + "." + base64url(random_.bytes(32));
  accessTokens_[token] = AccessToken{userId, expiresAt, generation_, false};
  return token;
}

std::string AuthStore::issueRefreshToken(const std::string& userId, const std::string& family) {
  std::string token = random_.token(22);
  refreshTokens_[token] = RefreshToken{userId, family, false, 0, false};
  families_[family].current = token;
  return token;
}

IssuedSession AuthStore::startSession(const std::string& userId) {
  const std::string family = random_.uuid();
  families_[family] = Family{userId, {}, false};
  IssuedSession session;
  session.refreshToken = issueRefreshToken(userId, family);
  session.accessToken = issueAccessToken(userId, family, session.expiresAt);
  if (auto it = users_.find(userId); it != users_.end()) it->second.lastSignInAt = nowMicros();
  return session;
}

RefreshOutcome AuthStore::refresh(const std::string& refreshToken) {
  RefreshOutcome outcome;
  const auto it = refreshTokens_.find(refreshToken);
  if (it == refreshTokens_.end()) return outcome;
  RefreshToken& token = it->second;
  Family& family = families_[token.family];
  outcome.userId = token.userId;
  if (family.revoked || (token.revoked && !token.used)) return outcome;  // NotFound
  const Micros now = nowMicros();
  if (token.used) {
    const Micros window = static_cast<Micros>(settings_.reuseInterval.count()) * 1000;
    if (window > 0 && now - token.usedAt <= window) {
      // A late duplicate of a fresh exchange: answer with the family's current token.
      outcome.kind = RefreshOutcome::Kind::ReusedWithinInterval;
      outcome.session.refreshToken = family.current;
      outcome.session.accessToken = issueAccessToken(token.userId, token.family, outcome.session.expiresAt);
      return outcome;
    }
    outcome.kind = RefreshOutcome::Kind::Reused;
    if (settings_.revokeFamilyOnReuse) family.revoked = true;
    return outcome;
  }
  token.used = true;
  token.usedAt = now;
  outcome.kind = RefreshOutcome::Kind::Rotated;
  outcome.session.refreshToken = issueRefreshToken(token.userId, token.family);
  outcome.session.accessToken = issueAccessToken(token.userId, token.family, outcome.session.expiresAt);
  return outcome;
}

BearerState AuthStore::checkAccessToken(const std::string& token, std::string& userId) const {
  const auto it = accessTokens_.find(token);
  if (it == accessTokens_.end()) return BearerState::Unknown;
  const AccessToken& access = it->second;
  userId = access.userId;
  if (access.expired || access.generation < validFromGeneration_ || access.expiresAt <= nowMicros()) {
    return BearerState::Expired;
  }
  return BearerState::Valid;
}

void AuthStore::expireAllAccessTokens() {
  validFromGeneration_ = ++generation_;
}

void AuthStore::expireAccessToken(const std::string& token) {
  if (auto it = accessTokens_.find(token); it != accessTokens_.end()) it->second.expired = true;
}

void AuthStore::revokeRefreshToken(const std::string& token) {
  if (auto it = refreshTokens_.find(token); it != refreshTokens_.end()) it->second.revoked = true;
}

bool AuthStore::refreshTokenIsActive(const std::string& token) const {
  const auto it = refreshTokens_.find(token);
  if (it == refreshTokens_.end() || it->second.used || it->second.revoked) return false;
  const auto family = families_.find(it->second.family);
  return family != families_.end() && !family->second.revoked;
}

json AuthStore::renderUser(const AuthUser& user) const {
  const auto stamp = [](std::optional<Micros> t) { return t ? json(formatTimestamp(*t)) : json(nullptr); };
  json out = {{"id", user.id},
              {"aud", "authenticated"},
              {"role", "authenticated"},
              {"email", user.email},
              {"phone", ""},
              {"email_confirmed_at", stamp(user.confirmed ? std::optional<Micros>(user.createdAt) : std::nullopt)},
              {"confirmed_at", stamp(user.confirmed ? std::optional<Micros>(user.createdAt) : std::nullopt)},
              {"last_sign_in_at", stamp(user.lastSignInAt)},
              {"app_metadata", {{"provider", "email"}, {"providers", {"email"}}}},
              {"user_metadata", json::object()},
              {"identities", json::array()},
              {"created_at", formatTimestamp(user.createdAt)},
              {"updated_at", formatTimestamp(user.createdAt)},
              {"is_anonymous", false}};
  if (user.confirmationSentAt) out["confirmation_sent_at"] = formatTimestamp(*user.confirmationSentAt);
  return out;
}

}  // namespace tarnwell::testing::detail
