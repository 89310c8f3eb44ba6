#include "BackendUtil.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace tarnwell::testing::detail {

Micros nowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, int& out) {
  if (pos + count > text.size()) return false;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  out = value;
  return true;
}

}  // namespace

std::optional<Micros> parseTimestamp(std::string_view text) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, pos, 4, year) || pos >= text.size() || text[pos++] != '-') return std::nullopt;
  if (!readDigits(text, pos, 2, month) || pos >= text.size() || text[pos++] != '-') return std::nullopt;
  if (!readDigits(text, pos, 2, day)) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  std::int64_t fraction = 0;
  std::int64_t offsetSeconds = 0;
  if (pos < text.size()) {
    if (text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ') return std::nullopt;
    ++pos;
    if (!readDigits(text, pos, 2, hour) || pos >= text.size() || text[pos++] != ':') return std::nullopt;
    if (!readDigits(text, pos, 2, minute)) return std::nullopt;
    if (pos < text.size() && text[pos] == ':') {
      ++pos;
      if (!readDigits(text, pos, 2, second)) return std::nullopt;
      if (pos < text.size() && text[pos] == '.') {
        ++pos;
        std::size_t digits = 0;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
          if (digits < 6) fraction = fraction * 10 + (text[pos] - '0');
          ++digits;
          ++pos;
        }
        if (digits == 0) return std::nullopt;
        for (std::size_t i = digits; i < 6; ++i) fraction *= 10;
      }
    }
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (pos < text.size()) {
      const char zone = text[pos];
      if (zone == 'Z' || zone == 'z') {
        ++pos;
      } else if (zone == '+' || zone == '-') {
        ++pos;
        int zh = 0, zm = 0;
        if (!readDigits(text, pos, 2, zh)) return std::nullopt;
        if (pos < text.size() && text[pos] == ':') ++pos;
        if (pos < text.size() && !readDigits(text, pos, 2, zm)) return std::nullopt;
        offsetSeconds = (zh * 3600 + zm * 60) * (zone == '+' ? 1 : -1);
      } else {
        return std::nullopt;
      }
    }
    if (pos != text.size()) return std::nullopt;
  }
  const std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offsetSeconds;
  return seconds * 1000000 + fraction;
}

namespace {

// A moment split into its UTC calendar day and the rest, floored.
struct CivilTime {
  std::int64_t days = 0;  // since 1970-01-01
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  std::int64_t secondOfDay = 0;
  std::int64_t fraction = 0;  // microseconds
};

CivilTime civilTime(Micros micros) {
  CivilTime t;
  std::int64_t seconds = micros / 1000000;
  t.fraction = micros % 1000000;
  if (t.fraction < 0) {
    t.fraction += 1000000;
    seconds -= 1;
  }
  t.days = seconds / 86400;
  t.secondOfDay = seconds % 86400;
  if (t.secondOfDay < 0) {
    t.secondOfDay += 86400;
    t.days -= 1;
  }
  civilFromDays(t.days, t.year, t.month, t.day);
  return t;
}

}  // namespace

std::string formatTimestamp(Micros micros) {
  const CivilTime t = civilTime(micros);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld", static_cast<long long>(t.year),
                t.month, t.day, static_cast<long long>(t.secondOfDay / 3600),
                static_cast<long long>(t.secondOfDay / 60 % 60), static_cast<long long>(t.secondOfDay % 60));
  std::string out = buffer;
  if (t.fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(t.fraction));
    std::string f = digits;
    while (!f.empty() && f.back() == '0') f.pop_back();
    out += "." + f;
  }
  out += "+00:00";
  return out;
}

std::string formatHTTPDate(Micros micros) {
  static constexpr const char* weekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // from 1970-01-01
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const CivilTime t = civilTime(micros);
  const std::int64_t weekday = ((t.days % 7) + 7) % 7;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04lld %02lld:%02lld:%02lld GMT", weekdays[weekday], t.day,
                months[t.month - 1], static_cast<long long>(t.year), static_cast<long long>(t.secondOfDay / 3600),
                static_cast<long long>(t.secondOfDay / 60 % 60), static_cast<long long>(t.secondOfDay % 60));
  return buffer;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string percentDecode(std::string_view text, bool plusAsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plusAsSpace && c == '+' ? ' ' : c);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parseQuery(std::string_view rawQuery) {
  std::vector<std::pair<std::string, std::string>> items;
  for (const auto& item : split(rawQuery, '&')) {
    if (item.empty()) continue;
    const auto eq = item.find('=');
    if (eq == std::string::npos) {
      items.emplace_back(percentDecode(item, true), std::string());
    } else {
      items.emplace_back(percentDecode(std::string_view(item).substr(0, eq), true),
                         percentDecode(std::string_view(item).substr(eq + 1), true));
    }
  }
  return items;
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const auto pos = text.find(separator, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

std::string toLower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string base64url(std::string_view bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(alphabet[(buffer >> bits) & 0x3f]);
    }
  }
  if (bits > 0) out.push_back(alphabet[(buffer << (6 - bits)) & 0x3f]);
  return out;
}

std::optional<std::int64_t> parseInt64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::size_t start = text[0] == '+' ? 1 : 0;
  std::int64_t value = 0;
  const auto* first = text.data() + start;
  const auto* last = text.data() + text.size();
  if (first == last) return std::nullopt;
  const auto result = std::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last) return std::nullopt;
  return value;
}

Random::Random() : engine_(std::random_device{}()) {}

std::string Random::uuid() {
  const std::uint64_t a = engine_();
  const std::uint64_t b = engine_();
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xffff), static_cast<unsigned>(a & 0x0fff),
                static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3fff)),
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return buffer;
}

std::string Random::token(std::size_t length) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<int> pick(0, 61);
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) out.push_back(alphabet[pick(engine_)]);
  return out;
}

std::string Random::bytes(std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) out.push_back(static_cast<char>(engine_() & 0xff));
  return out;
}

}  // namespace tarnwell::testing::detail
