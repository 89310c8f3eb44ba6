// Accounts, access tokens and rotating refresh tokens of the emulator.
// Not synchronised: the emulator calls it under its own mutex.
#pragma once

#include "BackendUtil.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace tarnwell::testing::detail {

struct AuthUser {
  std::string id;
  std::string email;
  std::string password;
  bool confirmed = true;
  Micros createdAt = 0;
  std::optional<Micros> lastSignInAt;
  std::optional<Micros> confirmationSentAt;
};

struct IssuedSession {
  std::string accessToken;
  std::string refreshToken;
  Micros expiresAt = 0;
};

// Outcome of presenting a refresh token.
struct RefreshOutcome {
  enum class Kind { Rotated, ReusedWithinInterval, Reused, NotFound } kind = Kind::NotFound;
  std::string userId;
  IssuedSession session;
};

// Outcome of presenting an access token.
enum class BearerState { Valid, Expired, Unknown };

class AuthStore {
public:
  struct Settings {
    std::chrono::seconds accessTokenLifetime{3600};
    std::chrono::milliseconds reuseInterval{0};
    bool revokeFamilyOnReuse = true;
  };

  AuthStore(Settings settings, Random& random) : settings_(settings), random_(random) {}

  // Throws std::invalid_argument when the e-mail is taken.
  const AuthUser& addUser(const std::string& email, const std::string& password, bool confirmed);
  AuthUser* userByEmail(const std::string& email);
  const AuthUser* userById(const std::string& id) const;
  std::vector<const AuthUser*> users() const;  // ordered by e-mail

  IssuedSession startSession(const std::string& userId);
  RefreshOutcome refresh(const std::string& refreshToken);
  BearerState checkAccessToken(const std::string& token, std::string& userId) const;

  void expireAllAccessTokens();
  void expireAccessToken(const std::string& token);
  void revokeRefreshToken(const std::string& token);
  bool refreshTokenIsActive(const std::string& token) const;

  nlohmann::json renderUser(const AuthUser& user) const;
  std::int64_t lifetimeSeconds() const { return settings_.accessTokenLifetime.count(); }

private:
  struct AccessToken {
    std::string userId;
    Micros expiresAt = 0;
    std::uint64_t generation = 0;
    bool expired = false;
  };
  struct RefreshToken {
    std::string userId;
    std::string family;
    bool used = false;
    Micros usedAt = 0;
    bool revoked = false;
  };
  struct Family {
    std::string userId;
    std::string current;  // the one refresh token of the family that may still be used
    bool revoked = false;
  };

  std::string issueAccessToken(const std::string& userId, const std::string& family, Micros& expiresAt);
  std::string issueRefreshToken(const std::string& userId, const std::string& family);

  Settings settings_;
  Random& random_;
  std::unordered_map<std::string, AuthUser> users_;             // by id
  std::unordered_map<std::string, std::string> usersByEmail_;   // lowercased e-mail -> id
  std::unordered_map<std::string, AccessToken> accessTokens_;
  std::unordered_map<std::string, RefreshToken> refreshTokens_;
  std::unordered_map<std::string, Family> families_;
  std::uint64_t generation_ = 1;       // of tokens issued now
  std::uint64_t validFromGeneration_ = 0;
};

}  // namespace tarnwell::testing::detail
