#include "State/JSONWriter.hpp"

#include "State/SharedModels.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tarnwell {

namespace {

// `key` names the member the text belongs to, for the error; none for the
// elements of a top-level array.
void writeString(std::string& out, const std::string& text, const std::string* key) {
    if (!isValidUTF8(text)) {
        throw JSONEncodingError(key ? "The value of \"" + (isValidUTF8(*key) ? *key : std::string("?")) +
                                          "\" is not valid UTF-8 text and can't be written as JSON"
                                    : std::string("A text that is not valid UTF-8 can't be written as JSON"));
    }
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

void indent(std::string& out, int level) {
    out.append(static_cast<std::size_t>(level) * 2, ' ');
}

void writeValue(std::string& out, const nlohmann::json& value, const JSONWriteOptions& options, int level,
                const std::string* key) {
    using value_t = nlohmann::json::value_t;
    switch (value.type()) {
    case value_t::null: out += "null"; return;
    case value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
    case value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); return;
    case value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); return;
    case value_t::number_float: out += value.dump(); return;
    case value_t::string: writeString(out, value.get_ref<const std::string&>(), key); return;
    case value_t::array: {
        out.push_back('[');
        if (options.prettyPrinted) {
            out.push_back('\n');
        }
        bool first = true;
        for (const auto& element : value) {
            if (!first) {
                out += options.prettyPrinted ? ",\n" : ",";
            }
            first = false;
            if (options.prettyPrinted) {
                indent(out, level + 1);
            }
            writeValue(out, element, options, level + 1, key);
        }
        if (options.prettyPrinted) {
            out.push_back('\n');
            indent(out, level);
        }
        out.push_back(']');
        return;
    }
    case value_t::object: {
        std::vector<const std::string*> keys;
        std::vector<const nlohmann::json*> values;
        for (auto it = value.begin(); it != value.end(); ++it) {
            keys.push_back(&it.key());
            values.push_back(&it.value());
        }
        std::vector<std::size_t> order(keys.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        if (options.sortedKeys) {
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return *keys[a] < *keys[b]; });
        }
        out.push_back('{');
        if (options.prettyPrinted) {
            out.push_back('\n');
        }
        bool first = true;
        for (std::size_t index : order) {
            if (!first) {
                out += options.prettyPrinted ? ",\n" : ",";
            }
            first = false;
            if (options.prettyPrinted) {
                indent(out, level + 1);
            }
            if (!isValidUTF8(*keys[index])) {
                throw JSONEncodingError("A key that is not valid UTF-8 can't be written as JSON");
            }
            writeString(out, *keys[index], keys[index]);
            out += options.prettyPrinted ? " : " : ":";
            writeValue(out, *values[index], options, level + 1, keys[index]);
        }
        if (options.prettyPrinted) {
            out.push_back('\n');
            indent(out, level);
        }
        out.push_back('}');
        return;
    }
    case value_t::binary:
    case value_t::discarded:
        out += "null";
        return;
    }
}

} // namespace

std::string JSONWriter::write(const nlohmann::json& value, JSONWriteOptions options) {
    std::string out;
    writeValue(out, value, options, 0, nullptr);
    return out;
}

} // namespace tarnwell
