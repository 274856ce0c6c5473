#include "AgentFixture.h"

#include "platform/plist/KeyedArchiver.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>

namespace tarvolin::testing {
namespace {

using ::testing::ElementsAre;

Value entry(const char* appName, std::vector<std::string> labels) {
    Value::Array keys;
    for (auto& l : labels) keys.emplace_back(l);
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
    void storeTable(Value::Array table) { storeData(archiveKeyedBinary(Value::array(std::move(table)))); }
    void storeData(Value::Data bytes) {
        process.standardUserDefaults()->setObject("WinKey", Value::data(std::move(bytes)));
    }
    void windows(std::int32_t pid, std::vector<std::int64_t> numbers) {
        for (auto n : numbers) {
            sim::WindowSpec spec;
            spec.pid = pid;
            spec.number = n;
            desktop.addWindow(spec);
        }
    }
    std::vector<std::string> labels() {
        agent->resetWindowInfo();
        std::vector<std::string> out;
        for (const auto& r : *agent->windowInfoArray()) out.push_back(r->key().value_or("<none>"));
        EXPECT_EQ(*agent->allShowingWinKey(), out);
        return out;
    }
};

TEST_F(WinKeyTest, LabelsGoToAnApplicationsWindowsInAscendingWindowNumber) {
    storeTable({entry("Editor", {"a", "b"})});
    windows(10, {30, 12});
    windows(20, {99});
    windows(10, {25});
    EXPECT_THAT(labels(), ElementsAre("", "a", "", "b"));
    std::vector<std::int64_t> indexes;
    for (const auto& r : *agent->windowInfoArray()) indexes.push_back(agent->appWinIdIndex(r));
    EXPECT_THAT(indexes, ElementsAre(2, 0, 0, 1));
    for (const auto& r : *agent->windowInfoArray()) EXPECT_EQ(agent->winKeyByWindowInfo(r), *r->key());
}

TEST_F(WinKeyTest, TableEdgeCases) {
    struct Case {
        const char* what;
        Value::Array table;
        std::vector<std::string> expected;  // Editor 1, Editor 2, Terminal 3
    };
    const Case cases[] = {
        {"own entries", {entry("Terminal", {"t"}), entry("Editor", {"e1", "e2"})}, {"e1", "e2", "t"}},
        {"duplicate entries: only the first",
         {entry("Editor", {"x"}), entry("Editor", {"y1", "y2"})},
         {"x", "", ""}},
        {"empty label list", {entry("Editor", {}), entry("Terminal", {"t"})}, {"", "", "t"}},
        {"case-sensitive names", {entry("editor", {"lower"}), entry("TERMINAL", {"up"})}, {"", "", ""}},
        {"entries of other shapes are skipped",
         {Value("not an entry"),
          Value::dictionary({{"appName", Value::integer(7)}, {"key", Value::array({Value("n")})}}),
          Value::dictionary({{"appName", Value("Editor")}, {"key", Value("not a list")}}),
          entry("Editor", {"ok"})},
         {"ok", "", ""}},
        {"labels that are not text",
         {Value::dictionary(
             {{"appName", Value("Editor")}, {"key", Value::array({Value::integer(1), Value("b")})}})},
         {"", "b", ""}},
        {"null and missing label lists",
         {Value::dictionary({{"appName", Value("Editor")}, {"key", Value::null()}}),
          Value::dictionary({{"appName", Value("Terminal")}})},
         {"", "", ""}},
    };
    windows(10, {1, 2});
    windows(20, {3});
    for (const auto& c : cases) {
        storeTable(c.table);
        EXPECT_EQ(labels(), c.expected) << c.what;
    }
}

TEST_F(WinKeyTest, MissingOrUndecodableTableGivesEveryRecordAnEmptyLabel) {
    windows(10, {1, 2});
    EXPECT_THAT(labels(), ElementsAre("", ""));  // no WinKey at all
    storeData({0x62, 0x70, 0x6c, 0x69, 0x73, 0x74});
    EXPECT_THAT(labels(), ElementsAre("", ""));
    process.standardUserDefaults()->setObject("WinKey", Value::array({entry("Editor", {"a"})}));  // not data
    EXPECT_THAT(labels(), ElementsAre("", ""));
    storeData(archiveKeyedBinary(entry("Editor", {"a"})));  // a root that is not a list
    EXPECT_THAT(labels(), ElementsAre("", ""));
    EXPECT_TRUE(agent->loadAllWinKey().empty());
}

TEST_F(WinKeyTest, RecordWithoutApplicationNameGetsAnEmptyLabel) {
    storeTable({entry("Editor", {"a"})});
    windows(30, {5});
    windows(10, {6});
    EXPECT_THAT(labels(), ElementsAre("", "a"));
    EXPECT_EQ(agent->appWinIdIndex(agent->windowInfoArray()->front()), 0);
}

TEST_F(WinKeyTest, SharedWindowNumberTakesTheLastPositionOfItsGroup) {
    windows(10, {1});
    agent->resetWindowInfo();
    auto base = agent->windowInfoArray()->front();
    WindowInfoList records;
    for (std::int64_t id : {9, 4, 4, 2}) {
        auto r = std::make_shared<WindowInfoModel>(*base);
        r->setWinId(id);
        records.push_back(r);
    }
    agent->setWindowInfoArray(records);
    EXPECT_EQ(agent->appWinIdIndex(records[1]), 2);  // sorted 2, 4, 4, 9
    EXPECT_EQ(agent->appWinIdIndex(records[0]), 3);
    auto stranger = std::make_shared<WindowInfoModel>(*base);
    stranger->setWinId(5);
    EXPECT_EQ(agent->appWinIdIndex(stranger), 0);
}

TEST_F(WinKeyTest, OrderIndexCountsAnApplicationsRecordsInInventoryOrderFromOne) {
    windows(10, {50});
    windows(20, {1});
    windows(10, {5});
    agent->resetWindowInfo();
    const auto& inv = *agent->windowInfoArray();
    EXPECT_EQ(agent->winOrderIndexByWindowInfoModel(inv[0]), 1);
    EXPECT_EQ(agent->winOrderIndexByWindowInfoModel(inv[1]), 1);
    EXPECT_EQ(agent->winOrderIndexByWindowInfoModel(inv[2]), 2);
    EXPECT_EQ(agent->winOrderIndexByWindowInfoModel(std::make_shared<WindowInfoModel>(*inv[2])), 0);
}

TEST_F(WinKeyTest, ArchivedVectorsGiveTheirManifestLabels) {
    const std::string dir = std::string(TARVOLIN_TESTDATA_DIR) + "/keyed-archives/winkey/";
    std::ifstream manifestFile(dir + "manifest.json");
    ASSERT_TRUE(manifestFile) << dir;
    const auto manifest = nlohmann::json::parse(manifestFile);
    int checked = 0;
    for (const auto& vector : manifest["vectors"]) {
        std::ifstream f(dir + vector["file"].get<std::string>(), std::ios::binary);
        storeData(Value::Data(std::istreambuf_iterator<char>(f), {}));
        if (!vector.contains("lookups")) {
            agent->resetWindowInfo();  // must simply not fail
            continue;
        }
        for (const auto& lookup : vector["lookups"]) {
            const auto appName = lookup[0].get<std::string>();
            const auto index = lookup[1].get<std::int64_t>();
            auto record = std::make_shared<WindowInfoModel>();
            record->setAppName(appName);
            WindowInfoList inventory;
            for (std::int64_t i = 0; i <= index; ++i) {
                auto r = std::make_shared<WindowInfoModel>(*record);
                r->setWinId(100 - i);  // inventory order is the reverse of number order
                inventory.push_back(r);
            }
            agent->setWindowInfoArray(inventory);
            EXPECT_EQ(agent->winKeyByWindowInfo(inventory.front()), lookup[2].get<std::string>())
                << vector["file"] << " " << appName << " " << index;
            ++checked;
        }
    }
    EXPECT_GE(checked, 30);  // the manifest was really exercised
}

}  // namespace
}  // namespace tarvolin::testing
