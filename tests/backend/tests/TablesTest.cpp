// The REST table conventions, exercised directly on a Table.
#include "BackendTables.hpp"

#include <gtest/gtest.h>

namespace tarnwell::testing::detail {
namespace {

using nlohmann::json;

class TablesTest : public ::testing::Test {
protected:
  TablesTest()
      : table("files",
              {{"id", ColumnType::Text, true, ColumnDefault::Uuid, nullptr, false},
               {"user_id", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
               {"storage_bucket", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
               {"storage_key", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
               {"sha256", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
               {"ingested_sha256", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
               {"is_deleted", ColumnType::Bool, false, ColumnDefault::Value, false, false},
               {"bytes", ColumnType::Int, false, ColumnDefault::None, nullptr, false},
               {"ingest_error", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
               {"ingested_at", ColumnType::Timestamp, false, ColumnDefault::None, nullptr, false}},
              random) {
    table.addUniqueIndex({"id"}, "files_pkey");
    table.addUniqueIndex({"user_id", "storage_bucket", "storage_key"}, "files_owner_key");
    table.addIndex({"user_id"});
    table.addIndex({"user_id", "storage_key"});
  }

  json add(const std::string& user, const std::string& key, json extra = json::object()) {
    extra["user_id"] = user;
    extra["storage_bucket"] = "files";
    extra["storage_key"] = key;
    return table.render(table.insertRow(extra));
  }

  RestResult get(const QueryItems& query, bool count = false, std::optional<RangeSpec> range = std::nullopt,
                 const std::string& user = "u1") {
    Prefer prefer;
    prefer.countExact = count;
    return table.get(Caller::user(user), query, prefer, range);
  }

  static json rows(const RestResult& result) { return json::parse(result.body); }

  static std::string header(const RestResult& result, const std::string& name) {
    for (const auto& [k, v] : result.headers) {
      if (k == name) return v;
    }
    return "<none>";
  }

  static Prefer upsertPrefer() {
    Prefer prefer;
    prefer.resolution = "merge-duplicates";
    prefer.returning = "representation";
    return prefer;
  }

  Random random;
  Table table;
};

TEST_F(TablesTest, FiltersFollowTheQueryConventions) {
  add("u1", "a", {{"sha256", "x"}, {"bytes", 10}});
  add("u1", "b", {{"sha256", "y"}, {"bytes", 20}, {"ingested_at", "2026-01-02T03:04:05Z"}});
  const json c = add("u1", "c,d", {{"bytes", 30}, {"is_deleted", true}});
  add("u2", "a", {{"sha256", "x"}});

  const auto keys = [&](const QueryItems& query) {
    std::vector<std::string> out;
    for (const auto& row : rows(get(query))) out.push_back(row["storage_key"]);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(keys({{"storage_key", "eq.a"}}), V{"a"});  // other users' rows stay hidden
  EXPECT_EQ(keys({{"storage_key", "in.(a,\"c,d\")"}}), (V{"a", "c,d"}));
  EXPECT_EQ(keys({{"ingested_at", "not.is.null"}}), V{"b"});
  EXPECT_EQ(keys({{"sha256", "is.null"}}), V{"c,d"});
  // A comparison with null is unknown, negated or not: the row without sha256 is in neither answer.
  EXPECT_EQ(keys({{"sha256", "neq.x"}}), V{"b"});
  EXPECT_EQ(keys({{"sha256", "not.eq.x"}}), V{"b"});
  EXPECT_EQ(keys({{"bytes", "gte.20"}, {"bytes", "lt.30"}}), V{"b"});
  EXPECT_EQ(keys({{"is_deleted", "eq.true"}}), V{"c,d"});
  EXPECT_EQ(keys({{"is_deleted", "is.false"}}), (V{"a", "b"}));
  EXPECT_EQ(keys({{"ingested_at", "gt.2026-01-02T03:04:04.5+00:00"}}), V{"b"});
  EXPECT_EQ(keys({{"id", "in.(" + c["id"].get<std::string>() + ",nope)"}}), V{"c,d"});
  EXPECT_EQ(keys({{"storage_key", "like.*,*"}}), V{"c,d"});

  EXPECT_TRUE(rows(table.get(Caller::anonymous(), {}, {}, std::nullopt)).empty());
}

TEST_F(TablesTest, BadQueriesAreRefusedWithTheirCodes) {
  add("u1", "a");
  const auto code = [&](const QueryItems& query) {
    try {
      get(query);
    } catch (const RestError& error) {
      return std::to_string(error.status) + " " + error.code;
    }
    return std::string("ok");
  };
  EXPECT_EQ(code({{"select", "id,nope"}}), "400 42703");
  EXPECT_EQ(code({{"nope", "eq.1"}}), "400 42703");
  EXPECT_EQ(code({{"bytes", "eq.twelve"}}), "400 22P02");
  EXPECT_EQ(code({{"ingested_at", "lt.yesterday"}}), "400 22007");
  EXPECT_EQ(code({{"storage_key", "a"}}), "400 PGRST100");
  EXPECT_EQ(code({{"storage_key", "in.a,b"}}), "400 PGRST100");
  EXPECT_EQ(code({{"order", "bytes.sideways"}}), "400 PGRST100");
  EXPECT_EQ(code({{"limit", "-1"}}), "400 PGRST100");
  EXPECT_EQ(code({{"or", "(a.eq.1)"}}), "400 PGRST100");
}

TEST_F(TablesTest, SelectAndOrderShapeTheRows) {
  add("u1", "a", {{"ingested_at", "2026-01-01T00:00:00Z"}, {"bytes", 2}});
  add("u1", "b", {{"bytes", 1}});
  add("u1", "c", {{"ingested_at", "2026-03-01T00:00:00.25Z"}, {"bytes", 2}});

  const json latest = rows(get({{"select", "ingested_at"}, {"ingested_at", "not.is.null"},
                                {"order", "ingested_at.desc"}, {"limit", "1"}}));
  EXPECT_EQ(latest, json::parse(R"([{"ingested_at":"2026-03-01T00:00:00.25+00:00"}])"));

  const auto order = [&](const std::string& clause) {
    std::string keys;
    for (const auto& row : rows(get({{"select", "storage_key"}, {"order", clause}}))) {
      keys += row["storage_key"].get<std::string>();
    }
    return keys;
  };
  EXPECT_EQ(order("ingested_at.asc"), "acb");  // ascending puts nulls last
  EXPECT_EQ(order("ingested_at.desc"), "bca");  // descending puts them first
  EXPECT_EQ(order("ingested_at.desc.nullslast"), "cab");
  EXPECT_EQ(order("bytes.desc,storage_key.desc"), "cab");
}

TEST_F(TablesTest, CountsAndRangesReportContentRange) {
  for (int i = 0; i < 57; ++i) add("u1", "k" + std::to_string(i));
  add("u2", "other");

  const auto counted = get({{"select", "id"}}, true, RangeSpec{0, 0});
  EXPECT_EQ(counted.status, 206);
  EXPECT_EQ(header(counted, "Content-Range"), "0-0/57");
  EXPECT_EQ(rows(counted).size(), 1u);

  const auto uncounted = get({{"select", "id"}}, false, RangeSpec{0, 0});
  EXPECT_EQ(uncounted.status, 200);
  EXPECT_EQ(header(uncounted, "Content-Range"), "0-0/*");

  const auto none = get({{"storage_key", "eq.missing"}}, true, RangeSpec{0, 0});
  EXPECT_EQ(none.status, 200);
  EXPECT_EQ(header(none, "Content-Range"), "*/0");
  EXPECT_EQ(none.body, "[]");

  const auto one = get({{"storage_key", "eq.k3"}}, true, RangeSpec{0, 0});
  EXPECT_EQ(one.status, 200);
  EXPECT_EQ(header(one, "Content-Range"), "0-0/1");

  // limit/offset and Range intersect.
  const auto window = get({{"offset", "10"}, {"limit", "20"}}, true, RangeSpec{5, 14});
  EXPECT_EQ(header(window, "Content-Range"), "10-14/57");
  EXPECT_EQ(rows(window).size(), 5u);

  EXPECT_THROW(get({{"offset", "60"}}, true), RestError);
}

TEST_F(TablesTest, UpsertMergesIntoTheOneRowPerOwnerBucketAndKey) {
  const QueryItems query = {{"on_conflict", "user_id,storage_bucket,storage_key"},
                            {"select", "id,sha256,ingested_sha256,is_deleted,ingest_error,bytes"}};
  const std::string body =
      R"({"user_id":"u1","storage_bucket":"files","storage_key":"k","sha256":"s1","bytes":1,"is_deleted":false,"ingest_error":null})";
  const auto first = table.post(Caller::user("u1"), query, upsertPrefer(), body);
  EXPECT_EQ(first.status, 201);
  const json created = rows(first).at(0);

  // What the service left on the row survives the next upsert; what the body names is replaced.
  const std::string id = created["id"];
  table.updateRow(id, {{"ingested_sha256", "s1"}, {"is_deleted", true}, {"ingest_error", "boom"}});
  const std::string again =
      R"({"user_id":"u1","storage_bucket":"files","storage_key":"k","sha256":"s2","bytes":2,"is_deleted":false,"ingest_error":null})";
  const json merged = rows(table.post(Caller::user("u1"), query, upsertPrefer(), again)).at(0);
  EXPECT_EQ(merged["id"], id);
  EXPECT_EQ(merged["sha256"], "s2");
  EXPECT_EQ(merged["ingested_sha256"], "s1");
  EXPECT_EQ(merged["is_deleted"], false);
  EXPECT_TRUE(merged["ingest_error"].is_null());
  EXPECT_EQ(table.size(), 1u);

  // Same key for another owner is another row.
  std::string other = again;
  other.replace(other.find("u1"), 2, "u2");
  table.post(Caller::user("u2"), query, upsertPrefer(), other);
  EXPECT_EQ(table.size(), 2u);

  // Without return=representation the answer has no body.
  Prefer minimal = upsertPrefer();
  minimal.returning.clear();
  EXPECT_EQ(table.post(Caller::user("u1"), query, minimal, again).body, "");
}

TEST_F(TablesTest, InsertsAreRefusedLikeTheDatabaseWould) {
  const auto status = [&](const Caller& caller, const QueryItems& query, const Prefer& prefer,
                          const std::string& body) {
    try {
      return std::to_string(table.post(caller, query, prefer, body).status);
    } catch (const RestError& error) {
      return std::to_string(error.status) + " " + error.code;
    }
  };
  const std::string row = R"({"user_id":"u1","storage_bucket":"files","storage_key":"k"})";
  const Caller u1 = Caller::user("u1");
  EXPECT_EQ(status(u1, {}, {}, row), "201");
  EXPECT_EQ(status(u1, {}, {}, row), "409 23505");  // plain insert of a duplicate
  EXPECT_EQ(status(u1, {{"on_conflict", "storage_key"}}, upsertPrefer(), row), "400 42P10");
  EXPECT_EQ(status(Caller::user("u2"), {}, {}, row), "403 42501");  // names another owner
  EXPECT_EQ(status(Caller::anonymous(), {}, {}, row), "401 42501");
  EXPECT_EQ(status(u1, {}, {}, R"({"user_id":"u1","storage_bucket":"files"})"), "400 23502");
  EXPECT_EQ(status(u1, {}, {}, R"({"user_id":"u1","storage_bucket":"files","storage_key":"x","nope":1})"),
            "400 PGRST204");
  EXPECT_EQ(status(u1, {}, {}, R"({"user_id":"u1","storage_bucket":"files","storage_key":"x","bytes":"many"})"),
            "400 22P02");
  EXPECT_EQ(status(u1, {}, {}, "{not json"), "400 PGRST102");
  EXPECT_EQ(status(u1, {}, {}, ""), "400 PGRST102");
  // A batch that would touch one row twice fails whole.
  const std::string twice = "[" + row + "," + row + "]";
  EXPECT_EQ(status(u1, {{"on_conflict", "user_id,storage_bucket,storage_key"}}, upsertPrefer(), twice), "400 21000");
  EXPECT_EQ(table.size(), 1u);
}

TEST_F(TablesTest, PatchChangesOnlyTheCallersMatchingRows) {
  const json a = add("u1", "a");
  const json b = add("u1", "b");
  const json other = add("u2", "c");
  Prefer minimal;
  minimal.returning = "minimal";

  const auto ids = "in.(" + a["id"].get<std::string>() + "," + other["id"].get<std::string>() + ")";
  const auto result = table.patch(Caller::user("u1"), {{"id", ids}}, minimal, R"({"ingest_error":"x"})");
  EXPECT_EQ(result.status, 204);
  EXPECT_EQ(table.cell(*table.find(a["id"]), "ingest_error"), "x");
  EXPECT_TRUE(table.cell(*table.find(b["id"]), "ingest_error").is_null());
  EXPECT_TRUE(table.cell(*table.find(other["id"]), "ingest_error").is_null());

  EXPECT_THROW(table.patch(Caller::user("u1"), {}, minimal, R"({"ingest_error":null})"), RestError);
  try {
    table.patch(Caller::user("u1"), {{"id", "eq." + a["id"].get<std::string>()}}, minimal, R"({"user_id":"u2"})");
    ADD_FAILURE() << "moving a row to another owner must fail";
  } catch (const RestError& error) {
    EXPECT_EQ(error.status, 403);
  }
  // Nothing matched is still a success.
  EXPECT_EQ(table.patch(Caller::user("u1"), {{"id", "eq.none"}}, minimal, R"({"is_deleted":true})").status, 204);
}

TEST_F(TablesTest, IgnoreDuplicatesLeavesExistingRowsAlone) {
  add("u1", "k", {{"sha256", "old"}});
  Prefer prefer;
  prefer.resolution = "ignore-duplicates";
  prefer.returning = "representation";
  const auto result = table.post(
      Caller::user("u1"), {{"on_conflict", "user_id,storage_bucket,storage_key"}}, prefer,
      R"([{"user_id":"u1","storage_bucket":"files","storage_key":"k","sha256":"new"},
          {"user_id":"u1","storage_bucket":"files","storage_key":"k2","sha256":"new"}])");
  const json inserted = rows(result);
  ASSERT_EQ(inserted.size(), 1u);
  EXPECT_EQ(inserted[0]["storage_key"], "k2");
  EXPECT_EQ(rows(get({{"storage_key", "eq.k"}}))[0]["sha256"], "old");
}

TEST(BackendHeadersTest, PreferAndRangeAreReadLeniently) {
  const Prefer prefer = parsePrefer({"resolution=merge-duplicates, return=representation", "count=exact"});
  EXPECT_EQ(prefer.resolution, "merge-duplicates");
  EXPECT_EQ(prefer.returning, "representation");
  EXPECT_TRUE(prefer.countExact);
  EXPECT_FALSE(parsePrefer({"return=minimal"}).countExact);

  ASSERT_TRUE(parseRange("0-0"));
  EXPECT_EQ(parseRange("0-0")->end, 0);
  EXPECT_EQ(parseRange(" 5-")->start, 5);
  EXPECT_FALSE(parseRange("5-")->end);
  EXPECT_FALSE(parseRange("bytes=0-0"));
  EXPECT_FALSE(parseRange("3-1"));
  EXPECT_FALSE(parseRange("-1"));
}

TEST(BackendUtilTest, TimestampsRoundTripInTheDatabaseForm) {
  EXPECT_EQ(formatTimestamp(*parseTimestamp("2026-12-08T19:30:00Z")), "2026-12-08T19:30:00+00:00");
  EXPECT_EQ(formatTimestamp(*parseTimestamp("2026-12-08T21:30:00.120+02:00")), "2026-12-08T19:30:00.12+00:00");
  EXPECT_EQ(formatTimestamp(*parseTimestamp("1969-12-31 23:59:59.999999")), "1969-12-31T23:59:59.999999+00:00");
  EXPECT_FALSE(parseTimestamp("2026-12-08T19:30x").has_value());
  EXPECT_FALSE(parseTimestamp("yesterday").has_value());
  EXPECT_EQ(percentDecode("%E6%97%A5+%2B%zz", false), "日++%zz");
  EXPECT_EQ(parseQuery("a=1+2&b=%26%3D&c"),
            (QueryItems{{"a", "1 2"}, {"b", "&="}, {"c", ""}}));
}

TEST(BackendUtilTest, HTTPDatesAreWrittenToTheWholeSecond) {
  EXPECT_EQ(formatHTTPDate(*parseTimestamp("1994-11-06T08:49:37.999Z")), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(formatHTTPDate(*parseTimestamp("2000-02-29T00:00:00Z")), "Tue, 29 Feb 2000 00:00:00 GMT");
  EXPECT_EQ(formatHTTPDate(*parseTimestamp("1969-12-31 23:59:59.5")), "Wed, 31 Dec 1969 23:59:59 GMT");
}

}  // namespace
}  // namespace tarnwell::testing::detail
