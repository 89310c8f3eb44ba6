#include "State/PublicConfigLoader.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <limits>
#include <map>

#include <unistd.h>

#include "State/SharedModels.hpp"

// Where an installation keeps the program's data, seen from the folder that
// holds the installed executable.
#ifndef TARNWELL_RESOURCE_DIR_FROM_BINDIR
#define TARNWELL_RESOURCE_DIR_FROM_BINDIR "../share/TarnwellNative"
#endif

extern char** environ;

namespace tarnwell {

namespace fs = std::filesystem;

namespace {

constexpr const char* kConfigFileName = "public-config.json";

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isURLCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::strchr("-._~:/?#[]@!$&'()*+,;=", c) != nullptr && c != '\0';
}

std::string requiredURL(const nlohmann::json& object, const char* key) {
    std::string text = json_fields::requiredString(object, key);
    if (!isParsableURL(text)) {
        throw JSONDecodingError(std::string("Invalid URL string for key \"") + key + "\"");
    }
    return text;
}

} // namespace

bool isParsableURL(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            if (!isHex(text[i + 1]) || !isHex(text[i + 2])) {
                return false;
            }
            i += 2;
            continue;
        }
        if (!isURLCharacter(c)) {
            return false;
        }
    }
    return true;
}

PublicConfig PublicConfig::fromJSON(const nlohmann::json& object) {
    json_fields::requireObject(object, "the public configuration");
    PublicConfig config;
    config.supabaseURL = requiredURL(object, "SUPABASE_URL");
    config.supabaseAnonKey = json_fields::requiredString(object, "SUPABASE_ANON_KEY");
    config.filesBucket = json_fields::optionalString(object, "SUPABASE_FILES_BUCKET").value_or("files");
    config.dashboardURL = requiredURL(object, "DASHBOARD_URL");
    config.maxUploadBytes = json_fields::optionalInt64(object, "QV_MAX_UPLOAD_BYTES").value_or(kDefaultMaxUploadBytes);
    return config;
}

nlohmann::json PublicConfig::toJSON() const {
    return nlohmann::json{{"SUPABASE_URL", supabaseURL},
                          {"SUPABASE_ANON_KEY", supabaseAnonKey},
                          {"SUPABASE_FILES_BUCKET", filesBucket},
                          {"DASHBOARD_URL", dashboardURL},
                          {"QV_MAX_UPLOAD_BYTES", maxUploadBytes}};
}

ConfigFileReadError::ConfigFileReadError(const fs::path& path, int error)
    : std::runtime_error("The file \u201c" + path.filename().string() + "\u201d couldn\u2019t be opened: " +
                         std::strerror(error)) {}

std::optional<std::int64_t> PublicConfigLoader::parseInt64(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    // Accumulate as a negative number so that the minimum value fits.
    std::int64_t value = 0;
    constexpr std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        int digit = c - '0';
        if (value < (minimum + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (negative) {
        return value;
    }
    if (value == minimum) {
        return std::nullopt;
    }
    return -value;
}

std::optional<PublicConfig> PublicConfigLoader::fromEnvironment(char** environment) {
    std::map<std::string, std::string> variables;
    for (char** entry = environment; entry && *entry; ++entry) {
        const char* text = *entry;
        const char* equals = std::strchr(text, '=');
        if (!equals) {
            continue;
        }
        variables.emplace(std::string(text, equals), std::string(equals + 1));
    }
    auto value = [&](const char* name) -> const std::string* {
        auto it = variables.find(name);
        return it == variables.end() ? nullptr : &it->second;
    };
    const std::string* url = value("SUPABASE_URL");
    const std::string* anonKey = value("SUPABASE_ANON_KEY");
    const std::string* dashboard = value("DASHBOARD_URL");
    if (!url || !anonKey || !dashboard || !isParsableURL(*url) || !isParsableURL(*dashboard)) {
        return std::nullopt;
    }
    PublicConfig config;
    config.supabaseURL = *url;
    config.supabaseAnonKey = *anonKey;
    config.dashboardURL = *dashboard;
    if (const std::string* bucket = value("SUPABASE_BUCKET")) {
        config.filesBucket = *bucket;
    } else if (const std::string* filesBucket = value("SUPABASE_FILES_BUCKET")) {
        config.filesBucket = *filesBucket;
    } else {
        config.filesBucket = "files";
    }
    config.maxUploadBytes = kDefaultMaxUploadBytes;
    if (const std::string* limit = value("QV_MAX_UPLOAD_BYTES")) {
        config.maxUploadBytes = parseInt64(*limit).value_or(kDefaultMaxUploadBytes);
    }
    return config;
}

namespace {

std::optional<fs::path> executableDirectory() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error || executable.empty()) {
        return std::nullopt;
    }
    return executable.parent_path();
}

} // namespace

std::optional<fs::path> PublicConfigLoader::installedResourceDirectory() {
    auto folder = executableDirectory();
    if (!folder) {
        return std::nullopt;
    }
    return (*folder / TARNWELL_RESOURCE_DIR_FROM_BINDIR).lexically_normal();
}

std::optional<fs::path> PublicConfigLoader::executableResourceDirectory() {
    auto folder = executableDirectory();
    if (!folder) {
        return std::nullopt;
    }
    return *folder / "resources";
}

PublicConfig PublicConfigLoader::load(const std::optional<fs::path>& resourceDirectory) {
    if (auto config = fromEnvironment(environ)) {
        return *config;
    }

    // The caller's folder and the shipped resources count only when the file
    // is there; the installed folder is the last resort and is read as is.
    auto existing = [](const fs::path& candidate) {
        std::error_code error;
        return fs::is_regular_file(candidate, error);
    };
    const auto installed = installedResourceDirectory();
    fs::path location = installed ? *installed / kConfigFileName : fs::path(kConfigFileName);
    if (resourceDirectory && existing(*resourceDirectory / kConfigFileName)) {
        location = *resourceDirectory / kConfigFileName;
    } else if (auto shipped = executableResourceDirectory(); shipped && existing(*shipped / kConfigFileName)) {
        location = *shipped / kConfigFileName;
    }

    std::string bytes;
    {
        errno = 0;
        std::ifstream file(location, std::ios::binary);
        if (!file) {
            throw ConfigFileReadError(location, errno ? errno : EIO);
        }
        std::ostringstream content;
        content << file.rdbuf();
        if (file.bad()) {
            throw ConfigFileReadError(location, EIO);
        }
        bytes = content.str();
    }
    nlohmann::json object = nlohmann::json::parse(bytes, nullptr, false);
    if (object.is_discarded()) {
        throw JSONDecodingError("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
    }
    PublicConfig config = PublicConfig::fromJSON(object);
    if (config.maxUploadBytes == 0) {
        config.maxUploadBytes = kDefaultMaxUploadBytes;
    }
    return config;
}

} // namespace tarnwell
