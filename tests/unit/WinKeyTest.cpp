#include "AgentFixture.h"

#include "platform/plist/KeyedArchiver.h"

namespace tarvolin::testing {
namespace {

Value entry(const char* appName, std::vector<std::string> labels) {
    Value::Array keys(labels.begin(), labels.end());
    return Value::dictionary({{"appName", Value(appName)}, {"key", Value::array(std::move(keys))}});
}

class WinKeyTest : public AgentTest {
protected:
    void SetUp() override {
        desktop.addApplication(10, "Editor");
        desktop.addApplication(20, "Terminal");
        desktop.addApplication(30, std::nullopt);  // an application without a name
        launch();
    }
    void storeWinKey(Value v) { process.standardUserDefaults()->setObject("WinKey", std::move(v)); }
    void windows(std::int32_t pid, std::vector<std::int64_t> numbers) {
        for (auto n : numbers) addWindow(pid, n);
    }
    std::vector<std::string> labels() {
        agent->resetWindowInfo();
        std::vector<std::string> out;
        for (const auto& r : *agent->windowInfoArray()) {
            out.push_back(r->key().value_or("<none>"));
            EXPECT_EQ(agent->winKeyByWindowInfo(r), out.back()) << "one label for a record, asked either way";
        }
        EXPECT_EQ(*agent->allShowingWinKey(), out);
        return out;
    }
};

TEST_F(WinKeyTest, LabelsGoToAnApplicationsWindowsInAscendingWindowNumber) {
    storeWinKey(Value::data(archiveKeyedBinary(Value::array({entry("Editor", {"a", "b"})}))));
    windows(10, {30, 12});
    windows(20, {99});
    windows(10, {25});
    windows(30, {5});  // no application name: no label
    EXPECT_THAT(labels(), ElementsAre("", "a", "", "b", ""));
    std::vector<std::int64_t> indexes, orders;
    for (const auto& r : *agent->windowInfoArray()) {
        indexes.push_back(agent->appWinIdIndex(r));
        orders.push_back(agent->winOrderIndexByWindowInfoModel(r));
    }
    EXPECT_THAT(indexes, ElementsAre(2, 0, 0, 1, 0));
    EXPECT_THAT(orders, ElementsAre(1, 2, 1, 3, 0));  // counted in inventory order from one
    // A record not in the inventory has neither.
    auto stranger = std::make_shared<WindowInfoModel>(*agent->windowInfoArray()->front());
    stranger->setWinId(26);
    EXPECT_EQ(agent->winOrderIndexByWindowInfoModel(stranger), 0);
    EXPECT_EQ(agent->appWinIdIndex(stranger), 0);
}

TEST_F(WinKeyTest, TableEdgeCases) {
    auto table = [](Value::Array entries) {
        return Value::data(archiveKeyedBinary(Value::array(std::move(entries))));
    };
    const std::pair<Value, std::vector<std::string>> cases[] = {
        // Editor 1, Editor 2, Terminal 3
        {table({Value("not an entry"),
                Value::dictionary({{"appName", Value::integer(7)}, {"key", Value::array({})}}),
                Value::dictionary({{"appName", Value("Editor")}, {"key", Value("not a list")}}),
                entry("Editor", {"ok"})}),
         {"ok", "", ""}},  // entries of other shapes are skipped
        {table({Value::dictionary(
                    {{"appName", Value("Editor")}, {"key", Value::array({Value::integer(1), Value("b")})}}),
                Value::dictionary({{"appName", Value("Terminal")}, {"key", Value::null()}})}),
         {"", "b", ""}},
        // Names match exactly, and the first entry of a name is the one used.
        {table({entry("editor", {"lower"}), entry("Editor", {"x"}), entry("Editor", {"y", "z"})}),
         {"x", "", ""}},
        // An undecodable table, one that is not data, or one whose root is not a list labels nothing.
        {Value::data({0x62, 0x70, 0x6c, 0x69, 0x73, 0x74}), {"", "", ""}},
        {Value::array({entry("Editor", {"a"})}), {"", "", ""}},
        {Value::data(archiveKeyedBinary(entry("Editor", {"a"}))), {"", "", ""}},
    };
    windows(10, {1, 2});
    windows(20, {3});
    for (const auto& [stored, expected] : cases) {
        storeWinKey(stored);
        EXPECT_EQ(labels(), expected) << stored.description();
    }
    EXPECT_TRUE(agent->loadAllWinKey().empty());
}

}  // namespace
}  // namespace tarvolin::testing
