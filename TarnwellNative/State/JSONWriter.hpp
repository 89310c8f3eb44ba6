// Writes JSON the way the agent's stored files and request bodies have always
// been written: every "/" escaped as "\/", non-ASCII text as raw UTF-8,
// optionally pretty-printed with two-space indent and "key" : value, and
// optionally with keys sorted by their UTF-8 bytes.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace tarnwell {

// A value that JSON can't carry: text that is not valid UTF-8 (a file name
// in another encoding, say). Nothing is written in that case, so no file or
// request ever holds bytes its reader would reject.
class JSONEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct JSONWriteOptions {
    bool prettyPrinted = false;
    bool sortedKeys = false;
};

class JSONWriter {
public:
    JSONWriter() = delete;

    // Compact output: {"a":1,"b":"x\/y"}. Pretty output:
    // {
    //   "a" : 1,
    //   "b" : [
    //
    //   ]
    // }
    // (an empty array or object is written open, a blank line, close).
    // Throws JSONEncodingError for a key or text that is not valid UTF-8.
    static std::string write(const nlohmann::json& value, JSONWriteOptions options = {});
};

} // namespace tarnwell
