#include "app/AppDelegate.h"

#include <algorithm>
#include <unordered_map>

namespace tarvolin {

namespace {

constexpr const char* kWinKeyDefaultsKey = "WinKey";

// The label list of an entry; an entry of another shape has none and is skipped.
struct Entry {
    const Value::Array* labels;  // null when the entry has no "key" or a null one
};

// The first usable entry for each application name, in table order.
std::unordered_map<std::string, Entry> indexTable(const Value::Array& table) {
    std::unordered_map<std::string, Entry> byName;
    for (const Value& v : table) {
        const auto* entry = v.asDictionary();
        if (!entry) continue;
        auto name = entry->find("appName");
        if (name == entry->end() || !name->second.asString()) continue;
        const Value::Array* labels = nullptr;
        if (auto key = entry->find("key"); key != entry->end() && !key->second.isNull()) {
            labels = key->second.asArray();
            if (!labels) continue;
        }
        byName.try_emplace(*name->second.asString(), Entry{labels});
    }
    return byName;
}

std::string labelAt(const std::unordered_map<std::string, Entry>& table,
                    const std::optional<std::string>& appName, std::int64_t index) {
    if (!appName) return "";
    auto it = table.find(*appName);
    if (it == table.end() || !it->second.labels || index < 0) return "";
    const Value::Array& labels = *it->second.labels;
    if (static_cast<std::uint64_t>(index) >= labels.size()) return "";
    const std::string* label = labels[static_cast<size_t>(index)].asString();
    return label ? *label : "";
}

// Position of `winId` in ascending `sortedIds`, the last one when several match; 0 when none does.
std::int64_t lastPositionOf(const std::vector<std::int64_t>& sortedIds, std::int64_t winId) {
    auto upper = std::upper_bound(sortedIds.begin(), sortedIds.end(), winId);
    if (upper == sortedIds.begin() || *(upper - 1) != winId) return 0;
    return (upper - sortedIds.begin()) - 1;
}

std::vector<std::int64_t> sortedIdsOf(const WindowInfoList& records,
                                      const std::optional<std::string>& appName) {
    std::vector<std::int64_t> ids;
    if (!appName) return ids;
    for (const auto& r : records)
        if (r->appName() == appName) ids.push_back(r->winId());
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

// What one assignment pass reads once: the table, and each application's window numbers in order.
struct AppDelegate::KeyPass {
    std::unordered_map<std::string, Entry> table;
    std::unordered_map<std::string, std::vector<std::int64_t>> idsByApp;
};

Value::Array AppDelegate::loadAllWinKey() {
    auto stored = platform_.userDefaults.standardUserDefaults()->objectForKey(kWinKeyDefaultsKey);
    const Value::Data* data = stored ? stored->asData() : nullptr;
    if (!data) return {};
    auto root = platform_.keyedUnarchiver.unarchiveObjectWithData(*data);
    const Value::Array* table = root ? root->asArray() : nullptr;
    return table ? *table : Value::Array{};
}

std::int64_t AppDelegate::appWinIdIndex(const WindowInfoRef& record) const {
    if (!windowInfoArray_) return 0;
    return lastPositionOf(sortedIdsOf(*windowInfoArray_, record->appName()), record->winId());
}

std::int64_t AppDelegate::winOrderIndexByWindowInfoModel(const WindowInfoRef& record) const {
    if (!windowInfoArray_ || !record->appName()) return 0;
    std::int64_t position = 0;
    for (const auto& r : *windowInfoArray_) {
        if (r->appName() != record->appName()) continue;
        ++position;
        if (r == record) return position;
    }
    return 0;  // not in the inventory
}

std::string AppDelegate::winKeyByWindowInfo(const WindowInfoRef& record) {
    return labelAt(indexTable(loadAllWinKey()), record->appName(), appWinIdIndex(record));
}

std::string AppDelegate::winKeyFor(const WindowInfoRef& record, const KeyPass& pass) const {
    std::int64_t index = 0;
    if (record->appName())
        if (auto it = pass.idsByApp.find(*record->appName()); it != pass.idsByApp.end())
            index = lastPositionOf(it->second, record->winId());
    return labelAt(pass.table, record->appName(), index);
}

void AppDelegate::setWinKeyToWindowInfo() {
    // The table cannot change within a pass, so it is read and decoded once.
    KeyPass pass;
    const Value::Array table = loadAllWinKey();
    pass.table = indexTable(table);
    static const WindowInfoList kNone;
    const WindowInfoList& records = windowInfoArray_ ? *windowInfoArray_ : kNone;
    for (const auto& r : records)
        if (r->appName()) pass.idsByApp[*r->appName()].push_back(r->winId());
    for (auto& [name, ids] : pass.idsByApp) std::sort(ids.begin(), ids.end());

    std::vector<std::string> labels;
    labels.reserve(records.size());
    for (const auto& r : records) {
        std::string label = winKeyFor(r, pass);
        r->setKey(label);
        labels.push_back(std::move(label));
    }
    setAllShowingWinKey(std::move(labels));
}

}  // namespace tarvolin
