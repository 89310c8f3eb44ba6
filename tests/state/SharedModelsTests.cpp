#include <gtest/gtest.h>

#include "State/JSONWriter.hpp"
#include "State/SharedModels.hpp"

using namespace tarnwell;
using nlohmann::json;

TEST(StoredUserDecoding, OptionalEmailMissingOrNullIsAbsentButWrongTypesFail) {
    EXPECT_EQ(StoredUser::fromJSON(json::parse(R"({"id":"u1"})")), (StoredUser{"u1", std::nullopt}));
    EXPECT_EQ(StoredUser::fromJSON(json::parse(R"({"id":"u1","email":null,"extra":[1]})")),
              (StoredUser{"u1", std::nullopt}));
    EXPECT_THROW(StoredUser::fromJSON(json::parse(R"({"email":"a@b.c"})")), JSONDecodingError);
    EXPECT_THROW(StoredUser::fromJSON(json::parse(R"({"id":7})")), JSONDecodingError);
    EXPECT_THROW(StoredUser::fromJSON(json::parse(R"({"id":"u1","email":5})")), JSONDecodingError);
    EXPECT_THROW(StoredUser::fromJSON(json::parse(R"(["u1"])")), JSONDecodingError);
    EXPECT_EQ(StoredUser({"u1", std::nullopt}).toJSON(), json::parse(R"({"id":"u1"})"));
}

TEST(StoredSessionDecoding, UserIsOptionalButMustBeWholeWhenPresent) {
    auto bare = StoredSession::fromJSON(json::parse(R"({"access_token":"a","refresh_token":"r"})"));
    EXPECT_FALSE(bare.user.has_value());
    auto nullUser = StoredSession::fromJSON(json::parse(R"({"access_token":"a","refresh_token":"r","user":null})"));
    EXPECT_EQ(bare, nullUser);
    EXPECT_THROW(StoredSession::fromJSON(json::parse(R"({"access_token":"a"})")), JSONDecodingError);
    EXPECT_THROW(StoredSession::fromJSON(json::parse(R"({"access_token":"a","refresh_token":"r","user":{"email":"x"}})")),
                 JSONDecodingError);
    EXPECT_THROW(StoredSession::fromJSON(json::parse(R"({"access_token":"a","refresh_token":null})")),
                 JSONDecodingError);

    StoredSession withUser{"a", "r", StoredUser{"u", std::nullopt}};
    EXPECT_NE(bare, withUser);
    EXPECT_EQ(StoredSession::fromJSON(withUser.toJSON()), withUser);
}

TEST(RetryQueueItemDecoding, RequiredFieldsAndNoNumberCoercion) {
    auto item = RetryQueueItem::fromJSON(json::parse(R"({"localPath":"/a","storageKey":"k","bytes":3,"attempts":1})"));
    EXPECT_FALSE(item.legacyStorageKey || item.mimeType || item.sha256 || item.logicalPath || item.userID ||
                 item.lastError);
    EXPECT_THROW(RetryQueueItem::fromJSON(json::parse(R"({"localPath":"/a","storageKey":"k","bytes":3})")),
                 JSONDecodingError);
    // 3.0 is a float, "3" a string, true a boolean: none of them is an integer.
    for (const char* bytes : {"3.0", "\"3\"", "true", "9223372036854775808"}) {
        std::string text = std::string(R"({"localPath":"/a","storageKey":"k","attempts":1,"bytes":)") + bytes + "}";
        EXPECT_THROW(RetryQueueItem::fromJSON(json::parse(text)), JSONDecodingError) << bytes;
    }
    auto big = RetryQueueItem::fromJSON(
        json::parse(R"({"localPath":"/a","storageKey":"k","attempts":-1,"bytes":9223372036854775807})"));
    EXPECT_EQ(big.bytes, INT64_MAX);
    EXPECT_EQ(big.attempts, -1);
}

TEST(RemoteFileRecordDecoding, ServiceRowsWithNullsAndWrongTypes) {
    auto row = RemoteFileRecord::fromJSON(
        json::parse(R"({"id":"f1","is_deleted":null,"user_id":"u","created_at":"2024-01-01","storage_key":"user-u/x"})"));
    EXPECT_EQ(row.id, "f1");
    EXPECT_FALSE(row.isDeleted.has_value());
    EXPECT_FALSE(row.bytes.has_value());
    EXPECT_EQ(row.storageKey, "user-u/x");
    EXPECT_THROW(RemoteFileRecord::fromJSON(json::parse(R"({"id":"f1","bytes":"12"})")), JSONDecodingError);
    EXPECT_THROW(RemoteFileRecord::fromJSON(json::parse(R"({"id":"f1","is_deleted":"false"})")), JSONDecodingError);
    EXPECT_THROW(RemoteFileRecord::fromJSON(json::parse(R"({"id":"f1","is_deleted":0})")), JSONDecodingError);
    EXPECT_EQ(RemoteFileRecord::fromJSON(row.toJSON()), row);
}

TEST(RecordEquality, TextComparesUnderCanonicalEquivalence) {
    const std::string precomposed = "/Docs/caf\xC3\xA9.txt";   // é as one code point
    const std::string decomposed = "/Docs/cafe\xCC\x81.txt";   // e + combining acute
    FileStateRow a{precomposed, "/Docs", "Docs/caf\xC3\xA9.txt", "k", "h", 1, 1000.0};
    FileStateRow b{decomposed, "/Docs", "Docs/cafe\xCC\x81.txt", "k", "h", 1, 1000.0};
    EXPECT_EQ(a, b);
    b.mtimeMilliseconds = 1000.5;
    EXPECT_NE(a, b);
    EXPECT_FALSE(canonicallyEqual("cafe", "caf\xC3\xA9"));

    SyncStateSnapshot s1{StoredUser{"u", "x@y"}, true, {precomposed}, SyncMode::ultra, true};
    SyncStateSnapshot s2{StoredUser{"u", "x@y"}, true, {decomposed}, SyncMode::ultra, true};
    EXPECT_EQ(s1, s2);
    s2.folders.push_back("/other");
    EXPECT_NE(s1, s2);
}

TEST(SyncModeValues, RawValuesAreExactAndDelaysFixed) {
    EXPECT_EQ(sync_mode::fromRawValue("ultra"), SyncMode::ultra);
    EXPECT_EQ(sync_mode::fromRawValue("regular"), SyncMode::regular);
    for (const char* bad : {"Ultra", " ultra", "", "REGULAR"}) {
        EXPECT_FALSE(sync_mode::fromRawValue(bad).has_value()) << bad;
    }
    EXPECT_EQ(sync_mode::processingDelayNanoseconds(SyncMode::regular), 750000000);
    EXPECT_EQ(sync_mode::processingDelayNanoseconds(SyncMode::ultra), 0);
    EXPECT_EQ(sync_mode::concurrency(SyncMode::ultra), 10);
    EXPECT_EQ(sync_mode::rawValue(sync_mode::allCases[0]), "regular");
}

TEST(IndexingProgressIdle, DiffersFromAFreshPass) {
    EXPECT_EQ(IndexingProgressSnapshot::idle(), (IndexingProgressSnapshot{std::nullopt, 0, false, std::nullopt}));
    EXPECT_NE(IndexingProgressSnapshot::idle(), (IndexingProgressSnapshot{0, 0, false, std::nullopt}));
}

TEST(JSONWriterFormat, MatchesThePlatformEncoderBytes) {
    json value = json::parse(R"({"b":[],"a":{"z":1,"y":"a/b\"c\\\n\u0001é"},"c":[true,null,-5]})");
    EXPECT_EQ(JSONWriter::write(value, {false, true}),
              R"({"a":{"y":"a\/b\"c\\\n\u0001é","z":1},"b":[],"c":[true,null,-5]})");
    EXPECT_EQ(JSONWriter::write(value, {true, true}),
              "{\n"
              "  \"a\" : {\n"
              "    \"y\" : \"a\\/b\\\"c\\\\\\n\\u0001é\",\n"
              "    \"z\" : 1\n"
              "  },\n"
              "  \"b\" : [\n"
              "\n"
              "  ],\n"
              "  \"c\" : [\n"
              "    true,\n"
              "    null,\n"
              "    -5\n"
              "  ]\n"
              "}");
    EXPECT_EQ(JSONWriter::write(json::array(), {true, true}), "[\n\n]");
}
