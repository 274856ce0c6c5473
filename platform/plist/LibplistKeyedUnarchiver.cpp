#include "platform/plist/LibplistKeyedUnarchiver.h"

#include "platform/plist/PlistSupport.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

namespace {

bool isType(plist_t node, plist_type type) { return node && plist_get_node_type(node) == type; }

bool isString(plist_t node, std::string_view text) {
    return isType(node, PLIST_STRING) && plistString(node) == text;
}

// A UID: a PLIST_UID node, or the XML form libplist 2.2 leaves as a dictionary {CF$UID: n}.
// Values above UINT32_MAX are rejected, as CoreFoundation does.
std::optional<std::uint32_t> uidOf(plist_t node) {
    uint64_t value = 0;
    if (isType(node, PLIST_UID)) {
        plist_get_uid_val(node, &value);
    } else if (isType(node, PLIST_DICT) && plist_dict_get_size(node) == 1) {
        plist_t n = plist_dict_get_item(node, "CF$UID");
        if (!isType(n, PLIST_UINT)) return std::nullopt;
        plist_get_uint_val(n, &value);
    } else {
        return std::nullopt;
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

// Decodes the object graph of one archive. Every decode function gives none on a malformed graph.
class Decoder {
public:
    explicit Decoder(plist_t objects)
        : objects_(objects), count_(plist_array_get_size(objects)), decoded_(count_), active_(count_) {}

    // The object a UID node refers to; UID 0 is $null.
    std::optional<Value> decodeReference(plist_t uidNode) {
        auto uid = uidOf(uidNode);
        if (!uid || *uid >= count_) return std::nullopt;
        if (*uid == 0) return Value::null();
        if (decoded_[*uid]) return decoded_[*uid];  // shared reference
        if (active_[*uid] || depth_ >= LibplistKeyedUnarchiver::kMaxDepth) return std::nullopt;  // cycle
        active_[*uid] = true;
        ++depth_;
        decoded_[*uid] = decodeObject(plist_array_get_item(objects_, *uid));
        --depth_;
        active_[*uid] = false;
        return decoded_[*uid];
    }

private:
    std::optional<Value> decodeObject(plist_t object) {
        switch (plist_get_node_type(object)) {
            case PLIST_STRING:
            case PLIST_UINT:
            case PLIST_REAL:
            case PLIST_BOOLEAN:
            case PLIST_DATA:
                return plistScalar(object);
            case PLIST_DICT:
                return decodeInstance(object);
            default:
                return std::nullopt;  // a bare array, date, UID or key is not an archived object
        }
    }

    std::optional<std::string> className(plist_t instance) {
        auto uid = uidOf(plist_dict_get_item(instance, "$class"));
        if (!uid || *uid == 0 || *uid >= count_) return std::nullopt;
        plist_t entry = plist_array_get_item(objects_, *uid);
        if (!isType(entry, PLIST_DICT)) return std::nullopt;
        plist_t name = plist_dict_get_item(entry, "$classname");
        if (!isType(name, PLIST_STRING)) return std::nullopt;
        return std::string(plistString(name));
    }

    std::optional<Value> decodeInstance(plist_t instance) {
        auto cls = className(instance);
        if (!cls) return std::nullopt;
        auto member = [&](const char* key) { return plist_dict_get_item(instance, key); };

        if (*cls == "NSArray" || *cls == "NSMutableArray") {
            auto elements = decodeList(member("NS.objects"));
            if (!elements) return std::nullopt;
            return Value::array(std::move(*elements));
        }
        if (*cls == "NSDictionary" || *cls == "NSMutableDictionary") {
            auto keys = decodeList(member("NS.keys"));
            if (!keys) return std::nullopt;
            auto values = decodeList(member("NS.objects"));
            if (!values || values->size() != keys->size()) return std::nullopt;
            Value::Dictionary dictionary;
            for (size_t i = 0; i < keys->size(); ++i) {
                const std::string* key = (*keys)[i].asString();
                if (!key || !dictionary.try_emplace(*key, (*values)[i]).second) return std::nullopt;
            }
            return Value::dictionary(std::move(dictionary));
        }
        if (*cls == "NSString" || *cls == "NSMutableString") {
            plist_t text = member("NS.string");
            if (!isType(text, PLIST_STRING)) return std::nullopt;
            return plistScalar(text);
        }
        if (*cls == "NSData" || *cls == "NSMutableData") {
            plist_t bytes = member("NS.data");
            if (!isType(bytes, PLIST_DATA)) return std::nullopt;
            return plistScalar(bytes);
        }
        if (*cls == "NSURL") {
            // Only an absolute URL: resolving against a base URL is not done here.
            auto base = uidOf(member("NS.base"));
            if (!base || *base != 0) return std::nullopt;
            auto relative = decodeReference(member("NS.relative"));
            if (!relative || !relative->isString()) return std::nullopt;
            return Value(Url{*relative->asString()});
        }
        if (*cls == "NSAttributedString" || *cls == "NSMutableAttributedString") {
            // The plain text; the attributes have no counterpart in Value and are not read.
            auto text = decodeReference(member("NSString"));
            if (!text || !text->isString()) return std::nullopt;
            return text;
        }
        return std::nullopt;  // a class this reader does not know
    }

    // An array of UID nodes, each decoded.
    std::optional<Value::Array> decodeList(plist_t list) {
        if (!isType(list, PLIST_ARRAY)) return std::nullopt;
        Value::Array out;
        const uint32_t n = plist_array_get_size(list);
        out.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            auto v = decodeReference(plist_array_get_item(list, i));
            if (!v) return std::nullopt;
            out.push_back(std::move(*v));
        }
        return out;
    }

    plist_t objects_;
    uint32_t count_;
    std::vector<std::optional<Value>> decoded_;
    std::vector<bool> active_;  // on the path being decoded: meeting one again is a cycle
    int depth_ = 0;
};

}  // namespace

std::optional<Value> LibplistKeyedUnarchiver::unarchiveObjectWithData(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    PlistPtr top(
        plistFromMemory(reinterpret_cast<const char*>(data.data()), static_cast<uint32_t>(data.size())));
    plist_t parsed = top.get();

    if (!isType(parsed, PLIST_DICT)) return std::nullopt;
    if (!isString(plist_dict_get_item(parsed, "$archiver"), "NSKeyedArchiver")) return std::nullopt;
    plist_t version = plist_dict_get_item(parsed, "$version");
    if (!isType(version, PLIST_UINT) || plist_uint_val_compare(version, 100000) != 0) return std::nullopt;
    plist_t topEntry = plist_dict_get_item(parsed, "$top");
    plist_t objects = plist_dict_get_item(parsed, "$objects");
    if (!isType(topEntry, PLIST_DICT) || !isType(objects, PLIST_ARRAY)) return std::nullopt;

    auto root = Decoder(objects).decodeReference(plist_dict_get_item(topEntry, "root"));
    if (!root || root->isNull()) return std::nullopt;  // malformed, or a nil root
    return root;
}

}  // namespace tarvolin
