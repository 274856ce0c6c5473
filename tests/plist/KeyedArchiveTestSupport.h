#pragma once

#include "platform/Value.h"
#include "platform/plist/KeyedArchiver.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"
#include "platform/plist/PlistSupport.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tarvolin::plisttest {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

inline std::filesystem::path archivesDir() {
    return std::filesystem::path(TARVOLIN_TESTDATA_DIR) / "keyed-archives";
}

inline Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::optional<Value> decode(const Bytes& bytes) {
    return LibplistKeyedUnarchiver().unarchiveObjectWithData(bytes);
}

// The JSON form of a decoded value: strings, numbers, null, lists, objects, and
// {"$url": text} and {"$data": [byte...]} for the two kinds JSON lacks.
inline Value valueFromJson(const json& j) {
    if (j.is_object() && j.contains("$url")) return Value(Url{j["$url"].get<std::string>()});
    if (j.is_object() && j.contains("$data")) return Value::data(j["$data"].get<Value::Data>());
    if (j.is_null()) return Value::null();
    if (j.is_string()) return Value(j.get<std::string>());
    if (j.is_number_integer()) return Value::integer(j.get<std::int64_t>());
    if (j.is_number_float()) return Value::real(j.get<double>());
    if (j.is_array()) {
        Value::Array a;
        for (const auto& e : j) a.push_back(valueFromJson(e));
        return Value::array(std::move(a));
    }
    Value::Dictionary d;
    for (const auto& [k, v] : j.items()) d.emplace(k, valueFromJson(v));
    return Value::dictionary(std::move(d));
}

inline PlistPtr parsePlist(const Bytes& bytes) {
    return PlistPtr(
        plistFromMemory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size())));
}

inline Bytes toBinary(plist_t p) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(p, &bytes, &length);
    Bytes out(bytes, bytes + length);
    plistMemFree(bytes);
    return out;
}

// A plist node from JSON, where {"UID": n} stands for a UID and a float for a real.
inline plist_t plistFromJson(const json& j) {
    if (j.is_object() && j.size() == 1 && j.contains("UID"))
        return plist_new_uid(j["UID"].get<std::uint64_t>());
    if (j.is_string()) return plist_new_string(j.get<std::string>().c_str());
    if (j.is_number_float()) return plist_new_real(j.get<double>());
    if (j.is_number()) return plist_new_uint(j.get<std::uint64_t>());
    plist_t node = j.is_array() ? plist_new_array() : plist_new_dict();
    for (const auto& [k, v] : j.items()) {
        if (j.is_array())
            plist_array_append_item(node, plistFromJson(v));
        else
            plist_dict_set_item(node, k.c_str(), plistFromJson(v));
    }
    return node;
}

// A binary keyed archive around a hand-written $objects array and a root UID.
inline Bytes archiveOf(const json& objects, std::uint64_t root = 1) {
    return toBinary(PlistPtr(plistFromJson({{"$version", 100000},
                                            {"$archiver", "NSKeyedArchiver"},
                                            {"$top", {{"root", {{"UID", root}}}}},
                                            {"$objects", objects}}))
                        .get());
}

}  // namespace tarvolin::plisttest
