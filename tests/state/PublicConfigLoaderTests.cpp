#include <gtest/gtest.h>

#include <vector>

#include "State/PublicConfigLoader.hpp"
#include "State/SharedModels.hpp"
#include "support/TempDir.hpp"

using namespace tarnwell;
using tarnwell::testing::ScopedEnv;
using tarnwell::testing::TempDir;

namespace {

std::optional<PublicConfig> fromEnv(std::vector<std::string> entries) {
    std::vector<char*> pointers;
    for (auto& entry : entries) {
        pointers.push_back(entry.data());
    }
    pointers.push_back(nullptr);
    return PublicConfigLoader::fromEnvironment(pointers.data());
}

const std::string kURL = "SUPABASE_URL=https://x.supabase.co";
const std::string kKey = "SUPABASE_ANON_KEY=anon";
const std::string kDash = "DASHBOARD_URL=https://dash.example.com/app";

} // namespace

TEST(PublicConfigEnvironment, RequiredVariablesAndDefaults) {
    auto config = fromEnv({kURL, kKey, kDash});
    ASSERT_TRUE(config);
    EXPECT_EQ(config->supabaseURL, "https://x.supabase.co");
    EXPECT_EQ(config->filesBucket, "files");
    EXPECT_EQ(config->maxUploadBytes, 5368709120);

    EXPECT_FALSE(fromEnv({kURL, kKey}));
    EXPECT_FALSE(fromEnv({"SUPABASE_URL=", kKey, kDash}));
    EXPECT_FALSE(fromEnv({"SUPABASE_URL=http://bad host", kKey, kDash}));
    auto emptyKey = fromEnv({kURL, "SUPABASE_ANON_KEY=", kDash});
    ASSERT_TRUE(emptyKey);
    EXPECT_EQ(emptyKey->supabaseAnonKey, "");
}

TEST(PublicConfigEnvironment, BucketPreferenceAndUploadLimitParsing) {
    EXPECT_EQ(fromEnv({kURL, kKey, kDash, "SUPABASE_FILES_BUCKET=b2", "SUPABASE_BUCKET=b1"})->filesBucket, "b1");
    EXPECT_EQ(fromEnv({kURL, kKey, kDash, "SUPABASE_FILES_BUCKET=b2"})->filesBucket, "b2");
    EXPECT_EQ(fromEnv({kURL, kKey, kDash, "SUPABASE_BUCKET=", "SUPABASE_FILES_BUCKET=b2"})->filesBucket, "");

    auto limit = [&](const char* value) {
        return fromEnv({kURL, kKey, kDash, std::string("QV_MAX_UPLOAD_BYTES=") + value})->maxUploadBytes;
    };
    EXPECT_EQ(limit("1024"), 1024);
    EXPECT_EQ(limit("+7"), 7);
    EXPECT_EQ(limit("0"), 0);
    EXPECT_EQ(limit("-5"), -5);
    EXPECT_EQ(limit("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(limit("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"10 ", " 10", "10MB", "1.5", "1e3", "9223372036854775808", "", "+", "-"}) {
        EXPECT_EQ(limit(bad), 5368709120) << '"' << bad << '"';
    }
}

TEST(PublicConfigFile, DecodingRulesAndCandidateOrder) {
    ScopedEnv noURL("SUPABASE_URL", "");  // does not parse: the file is used
    ScopedEnv bucket("SUPABASE_BUCKET", "from-env");
    TempDir dir;
    dir.write("public-config.json",
              R"({"SUPABASE_URL":"http://127.0.0.1:1","SUPABASE_ANON_KEY":"k","DASHBOARD_URL":"http://d","QV_MAX_UPLOAD_BYTES":0})");
    auto config = PublicConfigLoader::load(dir.path());
    EXPECT_EQ(config.filesBucket, "files");
    EXPECT_EQ(config.maxUploadBytes, 5368709120);  // 0 in the file means the default
    EXPECT_EQ(config.supabaseAnonKey, "k");

    dir.write("public-config.json",
              R"({"SUPABASE_URL":"http://a","SUPABASE_ANON_KEY":"k","DASHBOARD_URL":"http://d","QV_MAX_UPLOAD_BYTES":"10"})");
    EXPECT_THROW(PublicConfigLoader::load(dir.path()), JSONDecodingError);
    dir.write("public-config.json", R"({"SUPABASE_URL":"http://a","DASHBOARD_URL":"http://d"})");
    EXPECT_THROW(PublicConfigLoader::load(dir.path()), JSONDecodingError);
    dir.write("public-config.json", R"({"SUPABASE_URL":"not a url","SUPABASE_ANON_KEY":"k","DASHBOARD_URL":"http://d"})");
    EXPECT_THROW(PublicConfigLoader::load(dir.path()), JSONDecodingError);
    dir.write("public-config.json", "not json");
    EXPECT_THROW(PublicConfigLoader::load(dir.path()), JSONDecodingError);
}

TEST(PublicConfigFile, FallsBackToTheShippedResources) {
    ScopedEnv noURL("SUPABASE_URL", nullptr);
    TempDir empty;
    // No file in the given folder: the executable's resources or the
    // installed folder are tried; either way the given folder isn't required.
    auto shipped = PublicConfigLoader::executableResourceDirectory();
    ASSERT_TRUE(shipped);
    std::error_code error;
    if (std::filesystem::exists(*shipped / "public-config.json", error)) {
        EXPECT_NO_THROW(PublicConfigLoader::load(empty.path()));
    } else if (auto installed = PublicConfigLoader::installedResourceDirectory();
               !installed || !std::filesystem::exists(*installed / "public-config.json", error)) {
        EXPECT_THROW(PublicConfigLoader::load(empty.path()), std::runtime_error);
    }
}
