// The few settings that tie the agent to one hosted backend, read from the
// environment or from the shipped "public-config.json".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace tarnwell {

inline constexpr std::int64_t kDefaultMaxUploadBytes = 5368709120; // 5 GiB

struct PublicConfig {
    std::string supabaseURL;   // always a text that parses as a URL
    std::string supabaseAnonKey;
    std::string filesBucket;
    std::string dashboardURL;  // always a text that parses as a URL
    std::int64_t maxUploadBytes = kDefaultMaxUploadBytes;

    // Strict decoding of the configuration file's object; throws
    // JSONDecodingError naming the key that is missing or wrong.
    static PublicConfig fromJSON(const nlohmann::json& object);
    nlohmann::json toJSON() const;
};

// True when the text is a URL reference that a strict URL parser accepts:
// not empty, only characters allowed in URLs, well-formed percent escapes.
bool isParsableURL(const std::string& text);

// The configuration file could not be read (missing or unreadable).
class ConfigFileReadError : public std::runtime_error {
public:
    ConfigFileReadError(const std::filesystem::path& path, int error);
};

class PublicConfigLoader {
public:
    PublicConfigLoader() = delete;

    // Environment first (all or nothing), otherwise the first of these
    // candidates: resourceDirectory/public-config.json (when it exists), the
    // running executable's resources/public-config.json (when it exists, as
    // in the build tree), the installed resource directory's
    // public-config.json (read as is).
    static PublicConfig load(const std::optional<std::filesystem::path>& resourceDirectory = std::nullopt);

    // The pieces of load(), open for tests.
    static std::optional<PublicConfig> fromEnvironment(char** environment);
    static std::optional<std::int64_t> parseInt64(const std::string& text);
    // share/TarnwellNative of the installation the running executable belongs
    // to, found from the executable's own folder wherever it was installed;
    // none when the executable's path can't be read.
    static std::optional<std::filesystem::path> installedResourceDirectory();
    static std::optional<std::filesystem::path> executableResourceDirectory();
};

} // namespace tarnwell
