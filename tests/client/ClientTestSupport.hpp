// A client wired to a loopback backend emulator and a session file of its own.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "BackendEmulator.hpp"
#include "Client/SupabaseHTTPClient.hpp"

namespace tarnwell::testing {

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("tarnwell-client-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

    std::filesystem::path write(const std::string& name, const std::string& bytes) const {
        std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

private:
    std::filesystem::path path_;
};

inline PublicConfig configFor(const std::string& baseURL, const std::string& anonKey = "local-anon-key") {
    PublicConfig config;
    config.supabaseURL = baseURL;
    config.supabaseAnonKey = anonKey;
    config.filesBucket = "files";
    config.dashboardURL = "http://127.0.0.1/dashboard";
    return config;
}

class ClientTest : public ::testing::Test {
protected:
    explicit ClientTest(BackendOptions options = {}) : backend(std::move(options)) {}

    void SetUp() override {
        backend.start();
        store = std::make_shared<SessionStore>(directory.path() / "session.json", std::nullopt);
        client = std::make_unique<SupabaseHTTPClient>(configFor(backend.baseURL(), backend.anonKey()), store);
        userID = backend.addUser(email, password);
    }

    // Stores a fresh session of the test account, as a sign-in would.
    StoredSession signInDirectly() {
        SessionTokens tokens = backend.issueSession(email);
        StoredSession session{tokens.accessToken, tokens.refreshToken, StoredUser{userID, email}};
        store->save(session);
        return session;
    }

    const std::string email = "ada@example.com";
    const std::string password = "correct horse";
    TemporaryDirectory directory;
    BackendEmulator backend;
    std::shared_ptr<SessionStore> store;
    std::unique_ptr<SupabaseHTTPClient> client;
    std::string userID;
};

// Runs `body` and returns the SupabaseHTTPError it throws; fails the test
// when it throws nothing or something else.
template <class Body>
SupabaseHTTPError captureHTTPError(Body&& body) {
    try {
        body();
    } catch (const SupabaseHTTPError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected error: " << error.what();
    }
    ADD_FAILURE() << "no error thrown";
    return SupabaseHTTPError::invalidResponse();
}

} // namespace tarnwell::testing
