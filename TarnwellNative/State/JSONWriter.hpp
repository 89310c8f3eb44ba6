// Writes JSON the way the agent's stored files and request bodies have always
// been written: every "/" escaped as "\/", non-ASCII text as raw UTF-8,
// optionally pretty-printed with two-space indent and "key" : value, and
// optionally with keys sorted by their UTF-8 bytes.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tarnwell {

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
    static std::string write(const nlohmann::json& value, JSONWriteOptions options = {});
};

} // namespace tarnwell
