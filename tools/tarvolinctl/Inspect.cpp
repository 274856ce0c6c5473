#include "Inspect.h"

#include "Windows.h"
#include "accessibility/ElementPath.h"
#include "accessibility/UIElementUtilities.h"
#include "platform/AccessibilityNames.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <map>

namespace tarvolin {

namespace {

constexpr int kMaxElements = 20'000;  // a tree that loops, or is huge, still ends

using json = nlohmann::json;

std::string text(const std::optional<Value>& v) {
    const std::string* s = v ? v->asString() : nullptr;
    return s ? *s : "";
}

// The element's children, each with its path step.
std::vector<std::pair<AXElement, PathStep>> children(const AXElement& e) {
    std::vector<std::pair<AXElement, PathStep>> out;
    std::map<std::pair<std::string, std::string>, int> seen;
    auto v = UIElementUtilities::valueOfAttribute(kAXChildrenAttribute, e);
    if (const Value::Array* all = v ? v->asArray() : nullptr)
        for (const Value& c : *all)
            if (const AXElement* child = c.asElement()) {
                PathStep step{text(UIElementUtilities::roleOfUIElement(*child)),
                              text(UIElementUtilities::titleOfUIElement(*child))};
                step.index = ++seen[{step.role, step.title}];
                out.emplace_back(*child, std::move(step));
            }
    return out;
}

json node(const AXElement& e, const std::string& path, int depth, int& budget) {
    json attributes = json::object();
    for (const auto& [name, description] : UIElementUtilities::attributeDictionaryOfUIElement(e))
        attributes[name] = description.asString() ? json(*description.asString()) : json();
    json actions = json::array();
    for (const std::string& a :
         UIElementUtilities::actionNamesOfUIElement(e).value_or(std::vector<std::string>{}))
        actions.push_back(
            {{"name", a}, {"description", UIElementUtilities::descriptionOfAction(a, e).value_or("")}});
    json out{{"element", UIElementUtilities::descriptionOfValue(Value(e), false).value_or("")},
             {"path", path},
             {"attributes", std::move(attributes)},
             {"actions", std::move(actions)},
             {"children", json::array()}};
    if (depth > 0)
        for (const auto& [child, step] : children(e)) {
            if (--budget < 0) break;
            out["children"].push_back(
                node(child, (path.empty() ? "" : path + "/") + formatPathStep(step), depth - 1, budget));
        }
    return out;
}

// One line an element: its description, what tells it from its siblings at a glance, its path.
void print(const json& n, int indent) {
    std::cout << std::string(2 * indent, ' ') << n["element"].get<std::string>();
    const json& a = n["attributes"];
    for (const char* name : {"AXValue", "AXPosition", "AXSize"})
        if (a.contains(name) && a[name].is_string())
            std::cout << "  " << name << " “" << a[name].get<std::string>() << "”";
    if (!n["actions"].empty()) {
        std::cout << "  [";
        for (size_t i = 0; i < n["actions"].size(); ++i)
            std::cout << (i ? " " : "") << n["actions"][i]["name"].get<std::string>();
        std::cout << "]";
    }
    if (!n["path"].get<std::string>().empty()) std::cout << "  " << n["path"].get<std::string>();
    std::cout << "\n";
    for (const json& c : n["children"]) print(c, indent + 1);
}

// The window's element from a scan the inventory keeps; none, said on stderr, when it is not there.
const AXElement* windowElement(const Inventory& inventory, std::int64_t winId) {
    for (const auto& r : inventory.windows()) {
        if (r->winId() != winId) continue;
        if (!r->uiEle()) std::cerr << "tarvolinctl: window " << winId << " has no accessibility element\n";
        return r->uiEle() ? &r->uiEle() : nullptr;
    }
    std::cerr << "tarvolinctl: no window " << winId << " (tarvolinctl windows lists them)\n";
    return nullptr;
}

// The element at `path` below the window; none, said on stderr, when it is not there.
std::optional<AXElement> find(const Inventory& inventory, std::int64_t winId, const std::string& path) {
    std::string error;
    auto steps = parseElementPath(path, error);
    if (!steps) {
        std::cerr << "tarvolinctl: " << error << " (tarvolinctl inspect shows each element's path)\n";
        return std::nullopt;
    }
    const AXElement* window = windowElement(inventory, winId);
    if (!window) return std::nullopt;
    AXElement at = *window;
    std::string walked;
    for (const PathStep& step : *steps) {
        std::optional<AXElement> next;
        for (auto& [child, its] : children(at))
            if (its == step) next = child;
        walked += (walked.empty() ? "" : "/") + formatPathStep(step);
        if (!next) {
            std::cerr << "tarvolinctl: window " << winId << " has no element " << walked << "\n";
            return std::nullopt;
        }
        at = *next;
    }
    return at;
}

std::unique_ptr<Inventory> openInventory() {
    std::string error;
    auto inventory = Inventory::open(error);
    if (!inventory) std::cerr << "tarvolinctl: " << error << "\n";
    return inventory;
}

}  // namespace

int printElementTree(std::int64_t winId, int depth, bool asJson) {
    auto inventory = openInventory();
    if (!inventory) return 1;
    const AXElement* window = windowElement(*inventory, winId);
    if (!window) return 1;
    int budget = kMaxElements;
    const json tree = node(*window, "", depth, budget);
    if (asJson)
        std::cout << tree.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    else
        print(tree, 0);
    return 0;
}

int describeElement(std::int64_t winId, const std::string& path) {
    auto inventory = openInventory();
    if (!inventory) return 1;
    auto element = find(*inventory, winId, path);
    if (!element) return 1;
    std::cout << UIElementUtilities::stringDescriptionOfUIElement(*element);
    return 0;
}

int pressElement(std::int64_t winId, const std::string& path, const std::string& action) {
    auto inventory = openInventory();
    if (!inventory) return 1;
    auto element = find(*inventory, winId, path);
    if (!element) return 1;
    const AXError e = ax::performAction(*element, action);
    if (e != AXError::success) {
        std::cerr << "tarvolinctl: " << path << " did not take " << action << " (error "
                  << static_cast<int>(e) << ")\n";
        return 1;
    }
    return 0;
}

int setElementAttribute(std::int64_t winId, const std::string& path, const std::string& attribute,
                        const std::string& value) {
    auto inventory = openInventory();
    if (!inventory) return 1;
    auto element = find(*inventory, winId, path);
    if (!element) return 1;
    if (!UIElementUtilities::canSetAttribute(attribute, *element)) {
        std::cerr << "tarvolinctl: " << path << " does not let " << attribute << " be set\n";
        return 1;
    }
    UIElementUtilities::setStringValue(value, attribute, *element);
    return 0;
}

}  // namespace tarvolin
