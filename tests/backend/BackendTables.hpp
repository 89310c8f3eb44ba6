// The emulator's REST tables: rows, indexes, and the request conventions of a
// PostgREST-style interface (select, filters, order, limit/offset, Range,
// exact counts, inserts with on_conflict upserts, filtered updates).
// Not synchronised: the emulator calls it under its own mutex.
#pragma once

#include "BackendUtil.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwell::testing::detail {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// An error answer in the shape PostgREST uses: {"code","details","hint","message"}.
struct RestError : std::runtime_error {
  RestError(int status, std::string code, std::string message, std::string details = {});
  int status;
  std::string code;
  std::string details;
  nlohmann::json body() const;
};

struct RestResult {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

enum class ColumnType { Text, Int, Bool, Timestamp, Json };
enum class ColumnDefault { None, Uuid, Now, Value };

struct Column {
  std::string name;
  ColumnType type = ColumnType::Text;
  bool notNull = false;
  ColumnDefault defaultKind = ColumnDefault::None;
  nlohmann::json defaultValue;  // for ColumnDefault::Value
  bool touchOnUpdate = false;   // set to now whenever the row changes
};

struct Row {
  std::uint64_t seq = 0;
  std::vector<nlohmann::json> cells;  // timestamps held as integer microseconds
};

// Who is asking: the emulator itself (sees and may write everything), an
// authenticated user (sees and writes only rows whose user_id is theirs) or
// the anonymous role (sees nothing, may not insert).
struct Caller {
  bool admin = false;
  std::string userId;  // empty and not admin: anonymous
  static Caller administrator() { return {true, {}}; }
  static Caller user(std::string id) { return {false, std::move(id)}; }
  static Caller anonymous() { return {false, {}}; }
  bool anonymousRole() const { return !admin && userId.empty(); }
};

struct Prefer {
  std::string resolution;  // "merge-duplicates", "ignore-duplicates" or empty
  std::string returning;   // "representation", "minimal", "headers-only" or empty
  bool countExact = false;
};
Prefer parsePrefer(const std::vector<std::string>& headerValues);

// "Range: 0-0" (with "Range-Unit: items"); nullopt when absent or unreadable.
struct RangeSpec {
  std::int64_t start = 0;
  std::optional<std::int64_t> end;
};
std::optional<RangeSpec> parseRange(const std::string& text);

class Table {
public:
  // Called with the final cells of a row about to be written; throws RestError to refuse it.
  using RowCheck = std::function<void(const Table&, const std::vector<nlohmann::json>&)>;

  Table(std::string name, std::vector<Column> columns, Random& random);

  // A unique index; rows whose key holds a null never conflict. The first
  // index added (normally {"id"}) is the primary key.
  void addUniqueIndex(const std::vector<std::string>& columns, std::string constraintName);
  // A lookup index. Every index may start with "user_id" to serve per-user reads.
  void addIndex(const std::vector<std::string>& columns);
  void addCheck(RowCheck check);

  const std::string& name() const { return name_; }
  const std::vector<Column>& columns() const { return columns_; }
  int columnIndex(const std::string& name) const;  // -1 when unknown
  std::size_t size() const { return rows_.size(); }

  // REST operations.
  RestResult get(const Caller& caller, const QueryItems& query, const Prefer& prefer,
                 const std::optional<RangeSpec>& range) const;
  RestResult post(const Caller& caller, const QueryItems& query, const Prefer& prefer, const std::string& body);
  RestResult patch(const Caller& caller, const QueryItems& query, const Prefer& prefer, const std::string& body);

  // Direct access for the emulator's own use.
  const Row* find(const std::string& id) const;
  Row* find(const std::string& id);
  // Rows whose cells equal the given values, in insertion order, through the best index.
  std::vector<const Row*> lookup(const std::vector<std::pair<std::string, nlohmann::json>>& equalities) const;
  std::vector<const Row*> all() const;
  // Inserts one row with the column rules of a REST insert (no row-level rule); returns it.
  const Row& insertRow(const nlohmann::json& object);
  // Changes cells by column name, with the column rules; throws RestError.
  const Row& updateRow(const std::string& id, const nlohmann::json& changes);
  nlohmann::json render(const Row& row) const;  // every column
  nlohmann::json cell(const Row& row, const std::string& column) const;  // rendered

private:
  struct Index {
    std::vector<int> columns;
    bool unique = false;
    std::string constraintName;
    std::unordered_map<std::string, std::map<std::uint64_t, Row*>> buckets;
  };
  struct Filter {
    int column = -1;
    std::string op;  // eq neq gt gte lt lte like ilike is in
    bool negated = false;
    nlohmann::json value;                // converted operand (eq..lte, like pattern as text)
    std::vector<nlohmann::json> values;  // in
    std::string isValue;                 // is: null, true, false, unknown
  };
  struct Query {
    std::vector<int> select;
    std::vector<Filter> filters;
    std::vector<std::tuple<int, bool, bool>> order;  // column, descending, nulls first
    std::optional<std::int64_t> limit;
    std::int64_t offset = 0;
    std::vector<std::string> onConflict;
    bool hasOnConflict = false;
  };
  struct Candidates {
    std::vector<const Row*> rows;  // in insertion order
    bool filtersCovered = false;   // every filter is answered by the index
  };

  Query parseQuery(const QueryItems& items, bool forRead) const;
  Filter parseFilter(int column, const std::string& text) const;
  nlohmann::json convertOperand(const Column& column, const std::string& text) const;
  nlohmann::json convertForWrite(const Column& column, const nlohmann::json& value) const;
  std::optional<bool> matches(const Row& row, const Filter& filter) const;
  bool matchesAll(const Row& row, const std::vector<Filter>& filters) const;
  bool visible(const Caller& caller, const Row& row) const;
  Candidates candidates(const Caller& caller, const std::vector<Filter>& filters) const;
  std::vector<const Row*> selectRows(const Caller& caller, const std::vector<Filter>& filters) const;
  nlohmann::json renderSelected(const Row& row, const std::vector<int>& select) const;
  std::string indexKey(const Index& index, const std::vector<nlohmann::json>& cells, bool& hasNull) const;
  void indexRow(Row* row);
  void unindexRow(Row* row);
  std::vector<nlohmann::json> defaults();
  std::vector<std::pair<int, nlohmann::json>> convertObject(const nlohmann::json& object) const;
  void validate(const Caller& caller, const std::vector<nlohmann::json>& cells) const;
  void checkUnique(const std::vector<nlohmann::json>& cells, const Row* self,
                   std::map<std::string, int>& pendingKeys, int pendingIndex) const;
  Row& store(std::vector<nlohmann::json> cells);
  void replaceCells(Row& row, std::vector<nlohmann::json> cells);
  std::string dump(const nlohmann::json& value) const;

  std::string name_;
  std::vector<Column> columns_;
  Random& random_;
  int idColumn_ = -1;
  int userColumn_ = -1;
  std::uint64_t nextSeq_ = 1;
  std::map<std::uint64_t, std::unique_ptr<Row>> rows_;
  std::vector<Index> indexes_;
  std::vector<RowCheck> checks_;
};

}  // namespace tarnwell::testing::detail
