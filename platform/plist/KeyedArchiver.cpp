#include "platform/plist/KeyedArchiver.h"

#include "platform/plist/PlistSupport.h"

#include <plist/plist.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace tarvolin {

namespace {

class Encoder {
public:
    Encoder() : objects_(plist_new_array()) {
        plist_array_append_item(objects_.get(), plist_new_string("$null"));
    }

    // The UID of `value`, appending it (and what it holds) to $objects when it is new.
    uint64_t encode(const Value& value) {
        if (value.isNull()) return 0;
        if (const auto* s = value.asString()) {
            if (!isStorableText(*s))
                throw std::invalid_argument("keyed archive: can archive only UTF-8 text without NUL");
            auto [it, added] = strings_.try_emplace(*s, 0);
            if (added) it->second = append(plist_new_string(s->c_str()));
            return it->second;
        }
        if (const auto* i = value.asInteger()) return append(plist_new_uint(static_cast<uint64_t>(*i)));
        if (const auto* d = value.asReal()) return append(plist_new_real(*d));
        if (const auto* b = value.asBoolean()) return append(plist_new_bool(*b));
        if (const auto* data = value.asData()) {
            return append(plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
        }
        if (const auto* a = value.asArray()) {
            return encodeContainer(a, "NSMutableArray", "NSArray", [&](plist_t object) {
                PlistPtr members(plist_new_array());  // freed if a member cannot be archived
                for (const Value& v : *a) appendUid(members.get(), encode(v));
                plist_dict_set_item(object, "NS.objects", members.release());
            });
        }
        if (const auto* d = value.asDictionary()) {
            return encodeContainer(d, "NSMutableDictionary", "NSDictionary", [&](plist_t object) {
                PlistPtr keys(plist_new_array()), members(plist_new_array());
                for (const auto& kv : *d) appendUid(keys.get(), encode(Value(kv.first)));
                for (const auto& kv : *d) appendUid(members.get(), encode(kv.second));
                plist_dict_set_item(object, "NS.keys", keys.release());
                plist_dict_set_item(object, "NS.objects", members.release());
            });
        }
        if (const auto* u = value.asUrl()) {
            plist_t object = plist_new_dict();
            const uint64_t uid = append(object);
            plist_dict_set_item(object, "NS.base", plist_new_uid(0));
            plist_dict_set_item(object, "NS.relative", plist_new_uid(encode(Value(u->text))));
            plist_dict_set_item(object, "$class", plist_new_uid(classEntry("NSURL", nullptr)));
            return uid;
        }
        throw std::invalid_argument("keyed archive: cannot archive " + value.description());
    }

    std::vector<std::uint8_t> finish(uint64_t rootUid) {
        PlistPtr archive(plist_new_dict());
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "root", plist_new_uid(rootUid));
        plist_dict_set_item(archive.get(), "$version", plist_new_uint(100000));
        plist_dict_set_item(archive.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(archive.get(), "$top", top);
        plist_dict_set_item(archive.get(), "$objects", objects_.release());

        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(archive.get(), &bytes, &length);
        if (!bytes) throw std::runtime_error("keyed archive: libplist could not write the archive");
        std::vector<std::uint8_t> out(bytes, bytes + length);
        plistMemFree(bytes);
        return out;
    }

private:
    uint64_t append(plist_t object) {
        const uint64_t uid = plist_array_get_size(objects_.get());
        plist_array_append_item(objects_.get(), object);
        return uid;
    }

    // A container object: its index is taken before its members, its class entry after them.
    // A container shared by several values is stored once, as NSKeyedArchiver stores an object once.
    template <class Container, class Fill>
    uint64_t encodeContainer(const Container* c, const char* mutableName, const char* immutableName,
                             Fill fill) {
        if (auto it = containers_.find(c); it != containers_.end()) return it->second;
        plist_t object = plist_new_dict();
        const uint64_t uid = append(object);
        containers_.emplace(c, uid);
        fill(object);
        plist_dict_set_item(object, "$class", plist_new_uid(classEntry(mutableName, immutableName)));
        return uid;
    }

    static void appendUid(plist_t list, uint64_t uid) { plist_array_append_item(list, plist_new_uid(uid)); }

    // {$classname, $classes: [name, superclass..., NSObject]}, written once per class.
    uint64_t classEntry(const char* name, const char* superclass) {
        auto [it, added] = classes_.try_emplace(name, 0);
        if (!added) return it->second;
        plist_t chain = plist_new_array();
        for (const char* c : {name, superclass, "NSObject"}) {
            if (c) plist_array_append_item(chain, plist_new_string(c));
        }
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "$classes", chain);
        plist_dict_set_item(entry, "$classname", plist_new_string(name));
        return it->second = append(entry);
    }

    PlistPtr objects_;
    std::map<std::string, uint64_t, std::less<>> strings_;
    std::map<std::string, uint64_t, std::less<>> classes_;
    std::map<const void*, uint64_t> containers_;
};

}  // namespace

std::vector<std::uint8_t> archiveKeyedBinary(const Value& root) {
    Encoder encoder;
    const uint64_t rootUid = encoder.encode(root);
    return encoder.finish(rootUid);
}

}  // namespace tarvolin
