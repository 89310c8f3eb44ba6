// The value of a JSON request body. Bodies are maps from text to JSONValue
// and are only ever written, never read back.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

namespace tarnwell {

class JSONValue;
using JSONObject = std::map<std::string, JSONValue>;

class JSONValue {
public:
    enum class Kind { string, int64, boolean, object, null };

    static JSONValue string(std::string value);
    static JSONValue int64(std::int64_t value);
    static JSONValue boolean(bool value);
    static JSONValue object(JSONObject value);
    static JSONValue null();

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    nlohmann::json toJSON() const;

    friend bool operator==(const JSONValue& a, const JSONValue& b);

private:
    struct Null {
        friend bool operator==(Null, Null) { return true; }
    };
    using Storage = std::variant<std::string, std::int64_t, bool, JSONObject, Null>;

    template <std::size_t Index, typename... Args>
    explicit JSONValue(std::in_place_index_t<Index> index, Args&&... args)
        : storage_(index, std::forward<Args>(args)...) {}

    Storage storage_;
};

// The JSON object of a request body.
nlohmann::json toJSON(const JSONObject& body);

} // namespace tarnwell
