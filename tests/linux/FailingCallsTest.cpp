// Writes, locks and logs when the system says no: a full disk, a signal, a file system
// without exchange, a lock that cannot be had. Nothing is lost, nothing is left behind.
#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/session/AgentInstanceLock.h"
#include "platform/linux/session/FilePasteboard.h"
#include "platform/linux/session/PlistUserDefaults.h"
#include "platform/linux/session/StderrLog.h"
#include "platform/linux/session/SysCalls.h"

#include <array>

namespace tarvolin {
namespace {

namespace fs = std::filesystem;

enum Call { kRead, kWrite, kFsync, kFlock, kSetLock, kRenameat, kRenameat2, kCalls };

// How one call misbehaves: `failures` calls fail with `err` (-1: all of them), and writes
// take at most `cap` bytes at a time (0: no cap).
struct Fault {
    int err = 0;
    int failures = 0;
    std::size_t cap = 0;
};
std::array<Fault, kCalls> faults;
sys::Calls real;

bool failNow(Call call) {
    Fault& f = faults[call];
    if (f.failures == 0) return false;
    if (f.failures > 0) --f.failures;
    errno = f.err;
    return true;
}

struct FailingCalls : ::testing::Test {
    FailingCalls() {
        real = sys::calls;
        faults = {};
        sys::calls = {
            [](int fd, void* b, std::size_t n) { return failNow(kRead) ? -1 : real.read(fd, b, n); },
            [](int fd, const void* b, std::size_t n) {
                const std::size_t cap = faults[kWrite].cap;
                return failNow(kWrite) ? -1 : real.write(fd, b, cap ? std::min(cap, n) : n);
            },
            [](int fd) { return failNow(kFsync) ? -1 : real.fsync(fd); },
            [](int fd, int op) { return failNow(kFlock) ? -1 : real.flock(fd, op); },
            [](int fd, struct flock* l) { return failNow(kSetLock) ? -1 : real.setLock(fd, l); },
            [](int d1, const char* a, int d2, const char* b) {
                return failNow(kRenameat) ? -1 : real.renameat(d1, a, d2, b);
            },
            [](int d1, const char* a, int d2, const char* b, unsigned flags) {
                return failNow(kRenameat2) ? -1 : real.renameat2(d1, a, d2, b, flags);
            },
        };
    }
    ~FailingCalls() override { sys::calls = real; }

    struct Case {
        std::vector<std::pair<Call, Fault>> faults;
        int expectedError;  // 0: the write succeeds
    };
    static void arm(const Case& c) {
        for (const auto& [call, fault] : c.faults) faults[call] = fault;
    }
    // What the write threw: 0 when it did not.
    template <typename F>
    static int errorOf(F&& write) {
        try {
            write();
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        return 0;
    }
    static std::vector<std::string> filesIn(const fs::path& dir) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    test::TempDir tmp;
};

TEST_F(FailingCalls, ADefaultsWriteThatFailsKeepsTheOldFileAndLeavesNothingBehind) {
    // Writes are cut short and interrupted; an unread file is not garbage to replace.
    const std::vector<Case> cases = {
        {{{kWrite, {ENOSPC, -1}}}, ENOSPC}, {{{kWrite, {EINTR, 2, 3}}}, 0},
        {{{kFsync, {EIO, 1}}}, EIO},        {{{kRenameat, {EACCES, 1}}}, EACCES},
        {{{kFlock, {EINTR, 2}}}, 0},        {{{kFlock, {ENOLCK, 1}}}, ENOLCK},
        {{{kRead, {EINTR, 1}}}, 0},         {{{kRead, {EIO, 1}}}, EPERM},
    };
    LocalNotificationCenter center;
    test::RecordingLog log;
    std::string error;
    auto service = PlistUserDefaultsService::open(tmp.path(), center, log, error);
    ASSERT_TRUE(service) << error;
    auto store = service->sharedUserDefaults();
    store->setObject("Kept", Value("yes"));
    const auto files = filesIn(tmp.path());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        arm(cases[i]);
        const std::string text = "Raise:" + std::to_string(i);
        EXPECT_EQ(errorOf([&] { store->setObject("SomeText", Value(text)); }), cases[i].expectedError) << i;
        faults = {};
        auto fresh = PlistUserDefaultsService::open(tmp.path(), center, log, error)->sharedUserDefaults();
        EXPECT_EQ(fresh->objectForKey("Kept"), Value("yes")) << i;
        if (cases[i].expectedError == 0) {
            EXPECT_EQ(fresh->objectForKey("SomeText"), Value(text)) << i;
        }
        EXPECT_EQ(filesIn(tmp.path()), files) << i << ": a temporary file left behind";
    }
    // An unreadable file is moved aside first: when it cannot be moved, nothing is written;
    // when the first name is taken, under a numbered one.
    const fs::path file = tmp.path() / "org.tarvolin.shared.plist";
    test::plant(file, "garbage");
    faults[kRenameat2] = {EACCES, 1};
    EXPECT_EQ(errorOf([&] { store->setObject("SomeText", Value("x")); }), EACCES);
    EXPECT_EQ(test::contents(file), "garbage");
    faults[kRenameat2] = {EEXIST, 1};
    EXPECT_EQ(errorOf([&] { store->setObject("SomeText", Value("x")); }), 0);
    const auto now = filesIn(tmp.path());
    EXPECT_TRUE(std::any_of(now.begin(), now.end(), [](const std::string& name) {
        return name.starts_with("org.tarvolin.shared.plist.unreadable-") && name.ends_with("Z-2");
    }));
}

TEST_F(FailingCalls, APasteboardWriteThatFailsKeepsTheOldContentsAndLeavesNothingBehind) {
    const std::vector<Case> cases = {
        {{{kWrite, {ENOSPC, -1}}}, ENOSPC},
        {{{kWrite, {EINTR, 2, 5}}}, 0},
        {{{kRenameat2, {EINVAL, 1}}}, 0},  // a file system without exchange
        {{{kRenameat2, {EINVAL, 1}}, {kRenameat, {EACCES, 1}}}, EACCES},
        {{{kFlock, {EINTR, 2}}}, 0},
        {{{kFlock, {ENOLCK, 1}}}, ENOLCK},
    };
    std::string error;
    auto service = FilePasteboardService::open(tmp.path() / "pb", error);
    ASSERT_TRUE(service) << error;
    auto pb = std::static_pointer_cast<FilePasteboard>(service->pasteboardWithName("P"));
    pb->writeItems({{"old"}});
    const auto files = filesIn(tmp.path() / "pb");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        arm(cases[i]);
        const std::string text = "new " + std::to_string(i);
        EXPECT_EQ(errorOf([&] { pb->writeItems({{text}}); }), cases[i].expectedError) << i;
        faults = {};
        const bool ok = cases[i].expectedError == 0;
        EXPECT_EQ(pb->readStrings().texts, std::vector<std::string>{ok ? text : "old"}) << i;
        EXPECT_EQ(filesIn(tmp.path() / "pb"), files) << i << ": a temporary file left behind";
        if (ok) pb->writeItems({{"old"}});
    }
}

TEST_F(FailingCalls, TheInstanceLockRetriesASignalAndReportsWhatElseFails) {
    struct LockCase {
        Fault fault;
        bool acquired, held;
    };
    for (const auto& c : {LockCase{{EINTR, 2}, true, true}, LockCase{{EAGAIN, 1}, true, false},
                          LockCase{{EACCES, 1}, true, false}, LockCase{{ENOLCK, 1}, false, false}}) {
        faults = {};
        faults[kSetLock] = c.fault;
        std::string error;
        auto lock = AgentInstanceLock::acquire(tmp.path(), error);
        ASSERT_EQ(lock != nullptr, c.acquired) << c.fault.err;
        EXPECT_TRUE(lock || error.find("cannot lock") != std::string::npos) << error;
        if (!lock) continue;
        EXPECT_EQ(lock->heldByUs(), c.held) << c.fault.err;
        // Nobody really holds it: a copy that could not take it at first takes it now.
        EXPECT_EQ(lock->runningCopies("org.tarvolin.agent", "org.tarvolin.agent").size(), 1u) << c.fault.err;
        EXPECT_TRUE(lock->heldByUs());
    }
}

TEST_F(FailingCalls, ALogLineGoesOutWholeOrNotAtAll) {
    const auto path = tmp.path() / "log";
    {
        UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        StderrLog log(out.get());
        faults[kWrite] = {EINTR, 2, 4};
        log.log("a line longer than one write");
        faults[kWrite] = {EPIPE, -1};
        log.log("lost");  // gives up instead of spinning
        faults = {};
        log.log("next");
    }
    EXPECT_EQ(test::contents(path), "a line longer than one write\nnext\n");
}

}  // namespace
}  // namespace tarvolin
