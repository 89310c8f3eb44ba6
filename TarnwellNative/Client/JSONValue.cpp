#include "Client/JSONValue.hpp"

#include <utility>

namespace tarnwell {

JSONValue JSONValue::string(std::string value) { return JSONValue(std::in_place_index<0>, std::move(value)); }
JSONValue JSONValue::int64(std::int64_t value) { return JSONValue(std::in_place_index<1>, value); }
JSONValue JSONValue::boolean(bool value) { return JSONValue(std::in_place_index<2>, value); }
JSONValue JSONValue::object(JSONObject value) { return JSONValue(std::in_place_index<3>, std::move(value)); }
JSONValue JSONValue::null() { return JSONValue(std::in_place_index<4>, Null{}); }

nlohmann::json JSONValue::toJSON() const {
    switch (kind()) {
    case Kind::string:
        return std::get<0>(storage_);
    case Kind::int64:
        return std::get<1>(storage_);
    case Kind::boolean:
        return std::get<2>(storage_);
    case Kind::object:
        return tarnwell::toJSON(std::get<3>(storage_));
    case Kind::null:
        break;
    }
    return nullptr;
}

bool operator==(const JSONValue& a, const JSONValue& b) { return a.storage_ == b.storage_; }

nlohmann::json toJSON(const JSONObject& body) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : body) {
        object[key] = value.toJSON();
    }
    return object;
}

} // namespace tarnwell
