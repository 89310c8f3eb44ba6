// Small helpers of the backend emulator: URL decoding, query parsing,
// timestamps, identifiers and token text.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwell::testing::detail {

// Microseconds since 1970-01-01 00:00 UTC.
using Micros = std::int64_t;

Micros nowMicros();

// Reads "YYYY-MM-DD", optionally followed by "T" or " " and "HH:MM[:SS[.fraction]]"
// and a zone ("Z", "+HH", "+HHMM", "+HH:MM"; none means UTC).
std::optional<Micros> parseTimestamp(std::string_view text);

// Writes the way the database renders timestamptz in JSON:
// "2026-12-08T19:30:00.1234+00:00" (fraction without trailing zeros, left out when zero).
std::string formatTimestamp(Micros micros);

// Writes an HTTP date in its preferred form, to the second (floored):
// "Wed, 09 Dec 2026 13:23:13 GMT".
std::string formatHTTPDate(Micros micros);

// Percent-decodes; with plusAsSpace a "+" becomes a space. Malformed escapes stay as they are.
std::string percentDecode(std::string_view text, bool plusAsSpace);

// Splits a raw query ("a=1&b=2") into decoded name/value pairs, in order.
std::vector<std::pair<std::string, std::string>> parseQuery(std::string_view rawQuery);

std::vector<std::string> split(std::string_view text, char separator);
std::string trim(std::string_view text);
std::string toLower(std::string_view text);
bool iequals(std::string_view a, std::string_view b);
bool startsWith(std::string_view text, std::string_view prefix);

std::string base64url(std::string_view bytes);

// Parses a whole text as a signed 64-bit decimal integer.
std::optional<std::int64_t> parseInt64(std::string_view text);

class Random {
public:
  Random();
  std::string uuid();                   // version 4 form
  std::string token(std::size_t length);  // letters and digits
  std::string bytes(std::size_t length);

private:
  std::mt19937_64 engine_;
};

}  // namespace tarnwell::testing::detail
