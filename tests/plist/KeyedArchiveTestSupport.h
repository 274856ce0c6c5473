#pragma once

#include "platform/Value.h"

#include <plist/plist.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvolin::plisttest {

inline std::filesystem::path archivesDir() {
    return std::filesystem::path(TARVOLIN_TESTDATA_DIR) / "keyed-archives";
}

inline std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The manifest's JSON form of a decoded value: strings, numbers, booleans, null, lists, objects.
inline Value valueFromJson(const nlohmann::json& j) {
    switch (j.type()) {
        case nlohmann::json::value_t::null:
            return Value::null();
        case nlohmann::json::value_t::string:
            return Value(j.get<std::string>());
        case nlohmann::json::value_t::boolean:
            return Value::boolean(j.get<bool>());
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
            return Value::integer(j.get<std::int64_t>());
        case nlohmann::json::value_t::number_float:
            return Value::real(j.get<double>());
        case nlohmann::json::value_t::array: {
            Value::Array a;
            for (const auto& e : j) a.push_back(valueFromJson(e));
            return Value::array(std::move(a));
        }
        case nlohmann::json::value_t::object: {
            Value::Dictionary d;
            for (const auto& [k, v] : j.items()) d.emplace(k, valueFromJson(v));
            return Value::dictionary(std::move(d));
        }
        default:
            throw std::invalid_argument("unexpected JSON in the manifest: " + j.dump());
    }
}

inline std::string show(const std::optional<Value>& v) { return v ? v->description() : "<nothing>"; }

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

inline PlistPtr parsePlist(const std::vector<std::uint8_t>& bytes) {
    plist_t p = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &p);
    return PlistPtr(p);
}

inline std::vector<std::uint8_t> toBinary(plist_t p) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(p, &bytes, &length);
    std::vector<std::uint8_t> out(bytes, bytes + length);
    plist_to_bin_free(bytes);
    return out;
}

// A binary keyed archive around a hand-made $objects array (taken over) and a root UID.
inline std::vector<std::uint8_t> rawArchive(plist_t objects, std::uint64_t root) {
    PlistPtr archive(plist_new_dict());
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(root));
    plist_dict_set_item(archive.get(), "$version", plist_new_uint(100000));
    plist_dict_set_item(archive.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(archive.get(), "$top", top);
    plist_dict_set_item(archive.get(), "$objects", objects);
    return toBinary(archive.get());
}

// {$classname: name}: a class entry for hand-made archives.
inline plist_t classEntry(const char* name) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "$classname", plist_new_string(name));
    return entry;
}

// {NS.objects: [UID...], $class: UID(cls)}
inline plist_t arrayObject(const std::vector<std::uint64_t>& members, std::uint64_t cls) {
    plist_t list = plist_new_array();
    for (auto m : members) plist_array_append_item(list, plist_new_uid(m));
    plist_t object = plist_new_dict();
    plist_dict_set_item(object, "NS.objects", list);
    plist_dict_set_item(object, "$class", plist_new_uid(cls));
    return object;
}

}  // namespace tarvolin::plisttest
