#include "BackendTables.hpp"

#include <algorithm>
#include <set>
#include <tuple>

namespace tarnwell::testing::detail {

using nlohmann::json;

RestError::RestError(int status_, std::string code_, std::string message, std::string details_)
    : std::runtime_error(std::move(message)), status(status_), code(std::move(code_)), details(std::move(details_)) {}

json RestError::body() const {
  return json{{"code", code},
              {"details", details.empty() ? json(nullptr) : json(details)},
              {"hint", nullptr},
              {"message", what()}};
}

Prefer parsePrefer(const std::vector<std::string>& headerValues) {
  Prefer prefer;
  for (const auto& header : headerValues) {
    for (const auto& raw : split(header, ',')) {
      const auto token = trim(raw);
      const auto eq = token.find('=');
      if (eq == std::string::npos) continue;
      const auto name = trim(std::string_view(token).substr(0, eq));
      const auto value = trim(std::string_view(token).substr(eq + 1));
      if (name == "resolution") prefer.resolution = value;
      if (name == "return") prefer.returning = value;
      if (name == "count") prefer.countExact = value == "exact" || value == "planned" || value == "estimated";
    }
  }
  return prefer;
}

std::optional<RangeSpec> parseRange(const std::string& text) {
  const auto value = trim(text);
  const auto dash = value.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const auto start = parseInt64(std::string_view(value).substr(0, dash));
  if (!start || *start < 0) return std::nullopt;
  RangeSpec range{*start, std::nullopt};
  const auto rest = std::string_view(value).substr(dash + 1);
  if (!rest.empty()) {
    const auto end = parseInt64(rest);
    if (!end || *end < *start) return std::nullopt;
    range.end = *end;
  }
  return range;
}

namespace {

const char* typeName(ColumnType type) {
  switch (type) {
    case ColumnType::Text: return "text";
    case ColumnType::Int: return "bigint";
    case ColumnType::Bool: return "boolean";
    case ColumnType::Timestamp: return "timestamp with time zone";
    case ColumnType::Json: return "jsonb";
  }
  return "text";
}

RestError invalidInput(ColumnType type, const std::string& text) {
  return RestError(400, type == ColumnType::Timestamp ? "22007" : "22P02",
                   std::string("invalid input syntax for type ") + typeName(type) + ": \"" + text + "\"");
}

std::optional<bool> parseBoolText(const std::string& text) {
  const auto lower = toLower(text);
  if (lower == "true" || lower == "t" || lower == "yes" || lower == "on" || lower == "1") return true;
  if (lower == "false" || lower == "f" || lower == "no" || lower == "off" || lower == "0") return false;
  return std::nullopt;
}

// Compares two non-null cells of one column type.
int compareCells(ColumnType type, const json& a, const json& b) {
  switch (type) {
    case ColumnType::Int:
    case ColumnType::Timestamp: {
      const auto x = a.get<std::int64_t>(), y = b.get<std::int64_t>();
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case ColumnType::Bool: {
      const bool x = a.get<bool>(), y = b.get<bool>();
      return x == y ? 0 : (x ? 1 : -1);
    }
    case ColumnType::Text: {
      const int c = a.get_ref<const std::string&>().compare(b.get_ref<const std::string&>());
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ColumnType::Json: {
      const auto x = a.dump(), y = b.dump();
      return x < y ? -1 : (x > y ? 1 : 0);
    }
  }
  return 0;
}

// SQL LIKE with "*" or "%" as any run and "_" as one character.
bool likeMatch(std::string_view text, std::string_view pattern, bool caseInsensitive) {
  std::size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
  auto same = [&](char a, char b) {
    return caseInsensitive ? std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b))
                           : a == b;
  };
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%')) {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && (pattern[p] == '_' || same(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%')) ++p;
  return p == pattern.size();
}

// Splits the inside of "in.(a,b,"c,d")" into values; double quotes protect commas.
std::vector<std::string> splitInList(std::string_view inside) {
  std::vector<std::string> values;
  std::string current;
  bool quoted = false, wasQuoted = false;
  for (std::size_t i = 0; i < inside.size(); ++i) {
    const char c = inside[i];
    if (quoted) {
      if (c == '\\' && i + 1 < inside.size()) {
        current.push_back(inside[++i]);
      } else if (c == '"') {
        quoted = false;
      } else {
        current.push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
      wasQuoted = true;
    } else if (c == ',') {
      values.push_back(wasQuoted ? current : trim(current));
      current.clear();
      wasQuoted = false;
    } else {
      current.push_back(c);
    }
  }
  values.push_back(wasQuoted ? current : trim(current));
  return values;
}

}  // namespace

Table::Table(std::string name, std::vector<Column> columns, Random& random)
    : name_(std::move(name)), columns_(std::move(columns)), random_(random) {
  idColumn_ = columnIndex("id");
  userColumn_ = columnIndex("user_id");
}

int Table::columnIndex(const std::string& name) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

void Table::addUniqueIndex(const std::vector<std::string>& columns, std::string constraintName) {
  Index index;
  for (const auto& c : columns) index.columns.push_back(columnIndex(c));
  index.unique = true;
  index.constraintName = std::move(constraintName);
  indexes_.push_back(std::move(index));
}

void Table::addIndex(const std::vector<std::string>& columns) {
  Index index;
  for (const auto& c : columns) index.columns.push_back(columnIndex(c));
  indexes_.push_back(std::move(index));
}

void Table::addCheck(RowCheck check) { checks_.push_back(std::move(check)); }

std::string Table::dump(const json& value) const {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Table::indexKey(const Index& index, const std::vector<json>& cells, bool& hasNull) const {
  std::string key;
  hasNull = false;
  for (int c : index.columns) {
    if (cells[c].is_null()) hasNull = true;
    key += dump(cells[c]);
    key.push_back('\x1f');
  }
  return key;
}

void Table::indexRow(Row* row) {
  for (auto& index : indexes_) {
    bool hasNull = false;
    index.buckets[indexKey(index, row->cells, hasNull)].emplace(row->seq, row);
  }
}

void Table::unindexRow(Row* row) {
  for (auto& index : indexes_) {
    bool hasNull = false;
    const auto key = indexKey(index, row->cells, hasNull);
    auto it = index.buckets.find(key);
    if (it == index.buckets.end()) continue;
    it->second.erase(row->seq);
    if (it->second.empty()) index.buckets.erase(it);
  }
}

// ---- parsing ---------------------------------------------------------------

json Table::convertOperand(const Column& column, const std::string& text) const {
  switch (column.type) {
    case ColumnType::Text: return text;
    case ColumnType::Int: {
      const auto value = parseInt64(text);
      if (!value) throw invalidInput(column.type, text);
      return *value;
    }
    case ColumnType::Bool: {
      const auto value = parseBoolText(text);
      if (!value) throw invalidInput(column.type, text);
      return *value;
    }
    case ColumnType::Timestamp: {
      const auto value = parseTimestamp(text);
      if (!value) throw invalidInput(column.type, text);
      return *value;
    }
    case ColumnType::Json: {
      auto value = json::parse(text, nullptr, false);
      if (value.is_discarded()) throw RestError(400, "22P02", "invalid input syntax for type json");
      return value;
    }
  }
  return text;
}

Table::Filter Table::parseFilter(int column, const std::string& text) const {
  Filter filter;
  filter.column = column;
  std::string_view rest = text;
  if (startsWith(rest, "not.")) {
    filter.negated = true;
    rest.remove_prefix(4);
  }
  const auto dot = rest.find('.');
  const auto failed = [&] {
    return RestError(400, "PGRST100", "\"failed to parse filter (" + text + ")\" (line 1, column 1)");
  };
  if (dot == std::string_view::npos) throw failed();
  filter.op = std::string(rest.substr(0, dot));
  const std::string operand(rest.substr(dot + 1));
  const Column& col = columns_[column];
  if (filter.op == "eq" || filter.op == "neq" || filter.op == "gt" || filter.op == "gte" || filter.op == "lt" ||
      filter.op == "lte") {
    filter.value = convertOperand(col, operand);
  } else if (filter.op == "like" || filter.op == "ilike") {
    filter.value = operand;
  } else if (filter.op == "is") {
    const auto lower = toLower(operand);
    if (lower != "null" && lower != "true" && lower != "false" && lower != "unknown") throw failed();
    filter.isValue = lower;
  } else if (filter.op == "in") {
    if (operand.size() < 2 || operand.front() != '(' || operand.back() != ')') throw failed();
    for (const auto& v : splitInList(std::string_view(operand).substr(1, operand.size() - 2))) {
      filter.values.push_back(convertOperand(col, v));
    }
  } else {
    throw failed();
  }
  return filter;
}

Table::Query Table::parseQuery(const QueryItems& items, bool forRead) const {
  Query query;
  bool selected = false;
  const auto unknownColumn = [&](const std::string& name) {
    return RestError(400, "42703", "column " + name_ + "." + name + " does not exist");
  };
  for (const auto& [name, value] : items) {
    if (name == "select") {
      selected = true;
      for (const auto& raw : split(value, ',')) {
        const auto item = trim(raw);
        if (item == "*") {
          for (std::size_t i = 0; i < columns_.size(); ++i) query.select.push_back(static_cast<int>(i));
        } else {
          const int c = columnIndex(item);
          if (c < 0) throw unknownColumn(item);
          query.select.push_back(c);
        }
      }
    } else if (name == "order") {
      for (const auto& raw : split(value, ',')) {
        const auto parts = split(trim(raw), '.');
        const int c = columnIndex(parts[0]);
        if (c < 0) throw unknownColumn(parts[0]);
        bool descending = false;
        std::optional<bool> nullsFirst;
        for (std::size_t i = 1; i < parts.size(); ++i) {
          if (parts[i] == "asc") descending = false;
          else if (parts[i] == "desc") descending = true;
          else if (parts[i] == "nullsfirst") nullsFirst = true;
          else if (parts[i] == "nullslast") nullsFirst = false;
          else throw RestError(400, "PGRST100", "\"failed to parse order (" + value + ")\" (line 1, column 1)");
        }
        query.order.emplace_back(c, descending, nullsFirst.value_or(descending));
      }
    } else if (name == "limit" || name == "offset") {
      const auto number = parseInt64(value);
      if (!number || *number < 0) {
        throw RestError(400, "PGRST100", "\"failed to parse " + name + " (" + value + ")\" (line 1, column 1)");
      }
      if (name == "limit") query.limit = *number;
      else query.offset = *number;
    } else if (name == "on_conflict") {
      query.hasOnConflict = true;
      for (const auto& raw : split(value, ',')) {
        const auto item = trim(raw);
        if (columnIndex(item) < 0) throw unknownColumn(item);
        query.onConflict.push_back(item);
      }
    } else if (name == "columns" || name == "apikey") {
      // "columns" only narrows inserts, which every insert here already does by its keys.
    } else if (name == "or" || name == "and" || name == "not.or" || name == "not.and") {
      throw RestError(400, "PGRST100", "logic trees (" + name + ") are not supported here");
    } else {
      const int c = columnIndex(name);
      if (c < 0) throw unknownColumn(name);
      query.filters.push_back(parseFilter(c, value));
    }
  }
  if (!selected && forRead) {
    for (std::size_t i = 0; i < columns_.size(); ++i) query.select.push_back(static_cast<int>(i));
  }
  return query;
}

// ---- reading ---------------------------------------------------------------

std::optional<bool> Table::matches(const Row& row, const Filter& filter) const {
  const json& cell = row.cells[filter.column];
  const ColumnType type = columns_[filter.column].type;
  std::optional<bool> result;
  if (filter.op == "is") {
    if (filter.isValue == "null" || filter.isValue == "unknown") result = cell.is_null();
    else result = cell.is_boolean() && cell.get<bool>() == (filter.isValue == "true");
  } else if (cell.is_null()) {
    result = std::nullopt;  // a comparison with null is unknown, also when negated
  } else if (filter.op == "in") {
    result = std::any_of(filter.values.begin(), filter.values.end(),
                         [&](const json& v) { return compareCells(type, cell, v) == 0; });
  } else if (filter.op == "like" || filter.op == "ilike") {
    const std::string text = cell.is_string() ? cell.get<std::string>() : dump(cell);
    result = likeMatch(text, filter.value.get_ref<const std::string&>(), filter.op == "ilike");
  } else {
    const int c = compareCells(type, cell, filter.value);
    if (filter.op == "eq") result = c == 0;
    else if (filter.op == "neq") result = c != 0;
    else if (filter.op == "gt") result = c > 0;
    else if (filter.op == "gte") result = c >= 0;
    else if (filter.op == "lt") result = c < 0;
    else result = c <= 0;
  }
  if (result && filter.negated) result = !*result;
  return result;
}

bool Table::matchesAll(const Row& row, const std::vector<Filter>& filters) const {
  for (const auto& filter : filters) {
    const auto result = matches(row, filter);
    if (!result || !*result) return false;
  }
  return true;
}

bool Table::visible(const Caller& caller, const Row& row) const {
  if (caller.admin) return true;
  if (caller.anonymousRole() || userColumn_ < 0) return false;
  const json& owner = row.cells[userColumn_];
  return owner.is_string() && owner.get_ref<const std::string&>() == caller.userId;
}

Table::Candidates Table::candidates(const Caller& caller, const std::vector<Filter>& filters) const {
  Candidates out;
  if (caller.anonymousRole()) {
    out.filtersCovered = true;
    return out;
  }
  // Equalities known for this request: plain "eq" filters plus the caller's own user id.
  std::map<int, std::pair<json, int>> equal;  // column -> value, index of the filter (-1: implied)
  for (std::size_t i = 0; i < filters.size(); ++i) {
    const auto& f = filters[i];
    if (f.op == "eq" && !f.negated && !equal.count(f.column)) equal[f.column] = {f.value, static_cast<int>(i)};
  }
  if (!caller.admin && userColumn_ >= 0 && !equal.count(userColumn_)) {
    equal[userColumn_] = {json(caller.userId), -1};
  }
  // An "in" list on the primary key.
  if (idColumn_ >= 0 && !equal.count(idColumn_)) {
    for (const auto& f : filters) {
      if (f.column != idColumn_ || f.op != "in" || f.negated) continue;
      std::map<std::uint64_t, const Row*> found;
      for (const auto& v : f.values) {
        if (!v.is_string()) continue;
        if (const Row* row = find(v.get<std::string>())) found.emplace(row->seq, row);
      }
      for (const auto& [seq, row] : found) {
        if (visible(caller, *row) && matchesAll(*row, filters)) out.rows.push_back(row);
      }
      return out;
    }
  }
  const Index* best = nullptr;
  for (const auto& index : indexes_) {
    const bool usable = std::all_of(index.columns.begin(), index.columns.end(),
                                    [&](int c) { return equal.count(c) > 0; });
    if (usable && (!best || index.columns.size() > best->columns.size())) best = &index;
  }
  auto accept = [&](const Row* row) {
    if (visible(caller, *row) && matchesAll(*row, filters)) out.rows.push_back(row);
  };
  if (!best) {
    for (const auto& [seq, row] : rows_) accept(row.get());
    return out;
  }
  std::vector<json> probe(columns_.size());
  std::set<int> consumed;
  for (int c : best->columns) {
    probe[c] = equal[c].first;
    if (equal[c].second >= 0) consumed.insert(equal[c].second);
  }
  bool hasNull = false;
  const auto it = best->buckets.find(indexKey(*best, probe, hasNull));
  if (it == best->buckets.end()) {
    out.filtersCovered = true;
    return out;
  }
  const bool userCovered = caller.admin || userColumn_ < 0 ||
                           std::find(best->columns.begin(), best->columns.end(), userColumn_) != best->columns.end();
  out.filtersCovered = userCovered && consumed.size() == filters.size();
  if (out.filtersCovered) {
    out.rows.reserve(it->second.size());
    for (const auto& [seq, row] : it->second) out.rows.push_back(row);
  } else {
    for (const auto& [seq, row] : it->second) accept(row);
  }
  return out;
}

std::vector<const Row*> Table::selectRows(const Caller& caller, const std::vector<Filter>& filters) const {
  return candidates(caller, filters).rows;
}

json Table::renderSelected(const Row& row, const std::vector<int>& select) const {
  json object = json::object();
  for (int c : select) {
    const json& cell = row.cells[c];
    if (columns_[c].type == ColumnType::Timestamp && cell.is_number_integer()) {
      object[columns_[c].name] = formatTimestamp(cell.get<std::int64_t>());
    } else {
      object[columns_[c].name] = cell;
    }
  }
  return object;
}

json Table::render(const Row& row) const {
  std::vector<int> all(columns_.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
  return renderSelected(row, all);
}

json Table::cell(const Row& row, const std::string& column) const {
  const int c = columnIndex(column);
  if (c < 0) return nullptr;
  return renderSelected(row, {c})[column];
}

RestResult Table::get(const Caller& caller, const QueryItems& items, const Prefer& prefer,
                      const std::optional<RangeSpec>& range) const {
  const Query query = parseQuery(items, true);
  std::vector<const Row*> rows = selectRows(caller, query.filters);
  const auto total = static_cast<std::int64_t>(rows.size());

  // The window asked for: the intersection of limit/offset and the Range header.
  std::int64_t start = query.offset;
  std::optional<std::int64_t> end;
  if (query.limit) end = query.offset + *query.limit - 1;
  if (range) {
    start = std::max(start, range->start);
    if (range->end) end = end ? std::min(*end, *range->end) : *range->end;
  }

  const std::int64_t available = std::max<std::int64_t>(0, total - start);
  std::int64_t count = end ? std::max<std::int64_t>(0, std::min(available, *end - start + 1)) : available;

  if (!query.order.empty() && count > 0) {
    auto less = [&](const Row* a, const Row* b) {
      for (const auto& [c, descending, nullsFirst] : query.order) {
        const json& x = a->cells[c];
        const json& y = b->cells[c];
        if (x.is_null() || y.is_null()) {
          if (x.is_null() && y.is_null()) continue;
          return x.is_null() == nullsFirst;
        }
        const int cmp = compareCells(columns_[c].type, x, y);
        if (cmp != 0) return descending ? cmp > 0 : cmp < 0;
      }
      return a->seq < b->seq;
    };
    const auto stop = static_cast<std::size_t>(start + count);
    if (stop < rows.size()) {
      std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(stop), rows.end(), less);
    } else {
      std::sort(rows.begin(), rows.end(), less);
    }
  }

  if (prefer.countExact && total > 0 && start > 0 && start >= total) {
    throw RestError(416, "PGRST103", "Requested range not satisfiable",
                    "An offset of " + std::to_string(start) + " was requested, but there are only " +
                        std::to_string(total) + " rows.");
  }

  json body = json::array();
  for (std::int64_t i = 0; i < count; ++i) {
    body.push_back(renderSelected(*rows[static_cast<std::size_t>(start + i)], query.select));
  }

  RestResult result;
  const std::string totalText = prefer.countExact ? std::to_string(total) : "*";
  const std::string rangeText =
      count > 0 ? std::to_string(start) + "-" + std::to_string(start + count - 1) : std::string("*");
  result.headers.emplace_back("Content-Range", rangeText + "/" + totalText);
  result.status = (prefer.countExact && count < total) ? 206 : 200;
  if (prefer.countExact) result.headers.emplace_back("Preference-Applied", "count=exact");
  result.body = dump(body);
  return result;
}

std::vector<const Row*> Table::lookup(const std::vector<std::pair<std::string, json>>& equalities) const {
  std::vector<Filter> filters;
  for (const auto& [name, value] : equalities) {
    Filter f;
    f.column = columnIndex(name);
    if (f.column < 0) throw std::invalid_argument("unknown column " + name);
    f.op = "eq";
    f.value = convertForWrite(columns_[f.column], value);
    if (f.value.is_null()) {
      f.op = "is";
      f.isValue = "null";
    }
    filters.push_back(std::move(f));
  }
  return selectRows(Caller::administrator(), filters);
}

std::vector<const Row*> Table::all() const {
  std::vector<const Row*> out;
  out.reserve(rows_.size());
  for (const auto& [seq, row] : rows_) out.push_back(row.get());
  return out;
}

const Row* Table::find(const std::string& id) const { return const_cast<Table*>(this)->find(id); }

Row* Table::find(const std::string& id) {
  if (idColumn_ < 0 || indexes_.empty()) return nullptr;
  const Index& primary = indexes_.front();
  std::vector<json> probe(columns_.size());
  probe[idColumn_] = id;
  bool hasNull = false;
  const auto it = primary.buckets.find(indexKey(primary, probe, hasNull));
  if (it == primary.buckets.end() || it->second.empty()) return nullptr;
  return it->second.begin()->second;
}

// ---- writing ---------------------------------------------------------------

json Table::convertForWrite(const Column& column, const json& value) const {
  if (value.is_null()) return nullptr;
  switch (column.type) {
    case ColumnType::Text:
      if (value.is_string()) return value;
      if (value.is_number() || value.is_boolean()) return dump(value);
      throw invalidInput(column.type, dump(value));
    case ColumnType::Int:
      if (value.is_number_integer()) return value.get<std::int64_t>();
      if (value.is_number_float()) {
        const double d = value.get<double>();
        if (d == static_cast<double>(static_cast<std::int64_t>(d))) return static_cast<std::int64_t>(d);
      }
      if (value.is_string()) {
        if (const auto parsed = parseInt64(trim(value.get<std::string>()))) return *parsed;
        throw invalidInput(column.type, value.get<std::string>());
      }
      throw invalidInput(column.type, dump(value));
    case ColumnType::Bool:
      if (value.is_boolean()) return value;
      if (value.is_string()) {
        if (const auto parsed = parseBoolText(value.get<std::string>())) return *parsed;
        throw invalidInput(column.type, value.get<std::string>());
      }
      throw invalidInput(column.type, dump(value));
    case ColumnType::Timestamp:
      if (value.is_string()) {
        if (const auto parsed = parseTimestamp(value.get<std::string>())) return *parsed;
        throw invalidInput(column.type, value.get<std::string>());
      }
      throw invalidInput(column.type, dump(value));
    case ColumnType::Json: return value;
  }
  return value;
}

std::vector<json> Table::defaults() {
  std::vector<json> cells(columns_.size());
  const Micros now = nowMicros();
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    switch (columns_[i].defaultKind) {
      case ColumnDefault::None: cells[i] = nullptr; break;
      case ColumnDefault::Uuid: cells[i] = random_.uuid(); break;
      case ColumnDefault::Now: cells[i] = now; break;
      case ColumnDefault::Value: cells[i] = columns_[i].defaultValue; break;
    }
  }
  return cells;
}

std::vector<std::pair<int, json>> Table::convertObject(const json& object) const {
  std::vector<std::pair<int, json>> out;
  for (const auto& [key, value] : object.items()) {
    const int c = columnIndex(key);
    if (c < 0) {
      throw RestError(400, "PGRST204", "Could not find the '" + key + "' column of '" + name_ + "' in the schema cache");
    }
    out.emplace_back(c, convertForWrite(columns_[c], value));
  }
  return out;
}

void Table::validate(const Caller& caller, const std::vector<json>& cells) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].notNull && cells[i].is_null()) {
      throw RestError(400, "23502",
                      "null value in column \"" + columns_[i].name + "\" of relation \"" + name_ +
                          "\" violates not-null constraint");
    }
  }
  for (const auto& check : checks_) check(*this, cells);
  if (!caller.admin && userColumn_ >= 0) {
    const json& owner = cells[userColumn_];
    if (!owner.is_string() || owner.get_ref<const std::string&>() != caller.userId) {
      throw RestError(403, "42501", "new row violates row-level security policy for table \"" + name_ + "\"");
    }
  }
}

void Table::checkUnique(const std::vector<json>& cells, const Row* self, std::map<std::string, int>& pendingKeys,
                        int pendingIndex) const {
  for (std::size_t i = 0; i < indexes_.size(); ++i) {
    const Index& index = indexes_[i];
    if (!index.unique) continue;
    bool hasNull = false;
    const std::string key = indexKey(index, cells, hasNull);
    if (hasNull) continue;
    const auto duplicate = [&] {
      return RestError(409, "23505",
                       "duplicate key value violates unique constraint \"" + index.constraintName + "\"");
    };
    const auto it = index.buckets.find(key);
    if (it != index.buckets.end()) {
      for (const auto& [seq, row] : it->second) {
        if (row != self) throw duplicate();
      }
    }
    const std::string pendingKey = std::to_string(i) + ":" + key;
    const auto [pos, inserted] = pendingKeys.emplace(pendingKey, pendingIndex);
    if (!inserted && pos->second != pendingIndex) throw duplicate();
  }
}

Row& Table::store(std::vector<json> cells) {
  auto row = std::make_unique<Row>();
  row->seq = nextSeq_++;
  row->cells = std::move(cells);
  Row* raw = row.get();
  rows_.emplace(raw->seq, std::move(row));
  indexRow(raw);
  return *raw;
}

void Table::replaceCells(Row& row, std::vector<json> cells) {
  unindexRow(&row);
  row.cells = std::move(cells);
  indexRow(&row);
}

RestResult Table::post(const Caller& caller, const QueryItems& items, const Prefer& prefer, const std::string& body) {
  const Query query = parseQuery(items, false);
  std::vector<int> select = query.select;
  if (select.empty()) {
    for (std::size_t i = 0; i < columns_.size(); ++i) select.push_back(static_cast<int>(i));
  }
  auto payload = json::parse(body, nullptr, false);
  if (payload.is_discarded()) throw RestError(400, "PGRST102", "Empty or invalid json");
  std::vector<json> objects;
  if (payload.is_object()) {
    objects.push_back(payload);
  } else if (payload.is_array()) {
    for (const auto& item : payload) {
      if (!item.is_object()) throw RestError(400, "PGRST102", "All object keys must match");
      objects.push_back(item);
    }
  } else {
    throw RestError(400, "PGRST102", "Empty or invalid json");
  }
  for (std::size_t i = 1; i < objects.size(); ++i) {
    std::set<std::string> a, b;
    for (const auto& [k, v] : objects[0].items()) a.insert(k);
    for (const auto& [k, v] : objects[i].items()) b.insert(k);
    if (a != b) throw RestError(400, "PGRST102", "All object keys must match");
  }
  if (caller.anonymousRole()) {
    throw RestError(401, "42501", "new row violates row-level security policy for table \"" + name_ + "\"");
  }

  // The unique index that decides conflicts.
  const Index* target = nullptr;
  const bool merge = prefer.resolution == "merge-duplicates";
  const bool ignore = prefer.resolution == "ignore-duplicates";
  if (merge || ignore) {
    std::vector<int> wanted;
    if (query.hasOnConflict) {
      for (const auto& name : query.onConflict) wanted.push_back(columnIndex(name));
    } else if (idColumn_ >= 0) {
      wanted.push_back(idColumn_);
    }
    std::sort(wanted.begin(), wanted.end());
    for (const auto& index : indexes_) {
      auto columns = index.columns;
      std::sort(columns.begin(), columns.end());
      if (index.unique && columns == wanted) target = &index;
    }
    if (!target) {
      throw RestError(400, "42P10",
                      "there is no unique or exclusion constraint matching the ON CONFLICT columns");
    }
  }

  struct Planned {
    Row* existing = nullptr;
    std::vector<json> cells;
  };
  std::vector<Planned> plan;
  std::map<std::string, int> pendingKeys;
  std::set<Row*> touched;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const auto values = convertObject(objects[i]);
    Planned planned;
    if (target) {
      std::vector<json> probe(columns_.size());
      for (const auto& [c, v] : values) probe[c] = v;
      bool hasNull = false;
      const auto key = indexKey(*target, probe, hasNull);
      if (!hasNull) {
        const auto it = target->buckets.find(key);
        if (it != target->buckets.end() && !it->second.empty()) planned.existing = it->second.begin()->second;
      }
    }
    if (planned.existing) {
      if (ignore) continue;
      if (!touched.insert(planned.existing).second) {
        throw RestError(400, "21000", "ON CONFLICT DO UPDATE command cannot affect row a second time",
                        "Ensure that no rows proposed for insertion within the same command have duplicate "
                        "constrained values.");
      }
      if (!visible(caller, *planned.existing)) {
        throw RestError(403, "42501",
                        "new row violates row-level security policy (USING expression) for table \"" + name_ + "\"");
      }
      planned.cells = planned.existing->cells;
      for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (columns_[c].touchOnUpdate) planned.cells[c] = nowMicros();
      }
    } else {
      planned.cells = defaults();
    }
    for (const auto& [c, v] : values) planned.cells[c] = v;
    validate(caller, planned.cells);
    checkUnique(planned.cells, planned.existing, pendingKeys, static_cast<int>(i));
    plan.push_back(std::move(planned));
  }

  json representation = json::array();
  for (auto& planned : plan) {
    Row* row = planned.existing;
    if (row) replaceCells(*row, std::move(planned.cells));
    else row = &store(std::move(planned.cells));
    representation.push_back(renderSelected(*row, select));
  }

  RestResult result;
  result.status = 201;
  std::vector<std::string> applied;
  if (!prefer.resolution.empty()) applied.push_back("resolution=" + prefer.resolution);
  if (!prefer.returning.empty()) applied.push_back("return=" + prefer.returning);
  if (!applied.empty()) {
    std::string text;
    for (const auto& a : applied) text += (text.empty() ? "" : ", ") + a;
    result.headers.emplace_back("Preference-Applied", text);
  }
  if (prefer.returning == "representation") {
    result.body = dump(representation);
  }
  result.headers.emplace_back("Content-Range", "*/*");
  return result;
}

RestResult Table::patch(const Caller& caller, const QueryItems& items, const Prefer& prefer, const std::string& body) {
  const Query query = parseQuery(items, false);
  std::vector<int> select = query.select;
  if (select.empty()) {
    for (std::size_t i = 0; i < columns_.size(); ++i) select.push_back(static_cast<int>(i));
  }
  auto payload = json::parse(body, nullptr, false);
  if (payload.is_discarded() || !payload.is_object()) throw RestError(400, "PGRST102", "Empty or invalid json");
  const auto values = convertObject(payload);
  if (query.filters.empty()) throw RestError(400, "21000", "UPDATE requires a WHERE clause");

  std::vector<const Row*> matched = selectRows(caller, query.filters);
  std::vector<std::vector<json>> updated;
  std::map<std::string, int> pendingKeys;
  for (std::size_t i = 0; i < matched.size(); ++i) {
    std::vector<json> cells = matched[i]->cells;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (columns_[c].touchOnUpdate) cells[c] = nowMicros();
    }
    for (const auto& [c, v] : values) cells[c] = v;
    validate(caller, cells);
    checkUnique(cells, matched[i], pendingKeys, static_cast<int>(i));
    updated.push_back(std::move(cells));
  }
  json representation = json::array();
  for (std::size_t i = 0; i < matched.size(); ++i) {
    Row* row = const_cast<Row*>(matched[i]);
    replaceCells(*row, std::move(updated[i]));
    representation.push_back(renderSelected(*row, select));
  }
  RestResult result;
  if (prefer.returning == "representation") {
    result.status = 200;
    result.body = dump(representation);
  } else {
    result.status = 204;
  }
  if (!prefer.returning.empty()) result.headers.emplace_back("Preference-Applied", "return=" + prefer.returning);
  result.headers.emplace_back("Content-Range",
                              matched.empty() ? std::string("*/*") : "0-" + std::to_string(matched.size() - 1) + "/*");
  return result;
}

const Row& Table::insertRow(const json& object) {
  if (!object.is_object()) throw RestError(400, "PGRST102", "Empty or invalid json");
  std::vector<json> cells = defaults();
  for (const auto& [c, v] : convertObject(object)) cells[c] = v;
  validate(Caller::administrator(), cells);
  std::map<std::string, int> pending;
  checkUnique(cells, nullptr, pending, 0);
  return store(std::move(cells));
}

const Row& Table::updateRow(const std::string& id, const json& changes) {
  Row* row = find(id);
  if (!row) throw RestError(404, "PGRST116", "no " + name_ + " row with id " + id);
  if (!changes.is_object()) throw RestError(400, "PGRST102", "Empty or invalid json");
  std::vector<json> cells = row->cells;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (columns_[c].touchOnUpdate) cells[c] = nowMicros();
  }
  for (const auto& [c, v] : convertObject(changes)) cells[c] = v;
  validate(Caller::administrator(), cells);
  std::map<std::string, int> pending;
  checkUnique(cells, row, pending, 0);
  replaceCells(*row, std::move(cells));
  return *row;
}

}  // namespace tarnwell::testing::detail
