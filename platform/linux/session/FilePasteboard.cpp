#include "FilePasteboard.h"

#include "BoundedRead.h"
#include "PrivateDir.h"
#include "SysCalls.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace tarvolin {

namespace {

constexpr std::string_view kMagic = "TVPB1 ";
constexpr std::string_view kSuffix = ".pb";
constexpr mode_t kModeWithText = 0600;
constexpr mode_t kModeWithoutText = 0400;
constexpr std::size_t kMaxNameLength = 128;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = sys::calls.write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::int64_t> parseHeader(std::string_view bytes) {
    if (bytes.size() < FilePasteboard::kHeaderSize || bytes.substr(0, kMagic.size()) != kMagic ||
        bytes[FilePasteboard::kHeaderSize - 1] != '\n')
        return std::nullopt;
    const std::string_view digits =
        bytes.substr(kMagic.size(), FilePasteboard::kHeaderSize - 1 - kMagic.size());
    std::int64_t count = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;  // no sign, no blanks
    }
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
    return count;
}

// The items of a whole file; none when any part is malformed.
std::optional<std::vector<PasteboardItem>> parseItems(std::string_view bytes) {
    std::vector<PasteboardItem> items;
    bytes.remove_prefix(FilePasteboard::kHeaderSize);
    while (!bytes.empty()) {
        if (bytes.size() < 4 || (bytes[0] != 'T' && bytes[0] != 'B') || bytes[1] != ' ') return std::nullopt;
        const bool text = bytes[0] == 'T';
        std::size_t newline = bytes.find('\n');
        if (newline == std::string_view::npos) return std::nullopt;
        std::size_t length = 0;
        auto [ptr, ec] = std::from_chars(bytes.data() + 2, bytes.data() + newline, length);
        if (ec != std::errc() || ptr != bytes.data() + newline) return std::nullopt;
        bytes.remove_prefix(newline + 1);
        if (!text) {
            if (length != 0) return std::nullopt;
            items.push_back(PasteboardItem{std::nullopt});
            continue;
        }
        // Compared without adding to `length`, which may be as large as size_t goes.
        if (length >= bytes.size() || bytes[length] != '\n') return std::nullopt;
        items.push_back(PasteboardItem{std::string(bytes.substr(0, length))});
        bytes.remove_prefix(length + 1);
    }
    return items;
}

std::string encodeBytes(std::int64_t changeCount, const std::vector<PasteboardItem>& items) {
    char header[FilePasteboard::kHeaderSize + 1];
    std::snprintf(header, sizeof header, "TVPB1 %020lld\n", static_cast<long long>(changeCount));
    std::string bytes(header, FilePasteboard::kHeaderSize);
    for (const auto& item : items) {
        if (item.text) {
            bytes += "T " + std::to_string(item.text->size()) + "\n";
            bytes += *item.text;
            bytes += '\n';
        } else {
            bytes += "B 0\n";
        }
        if (bytes.size() > FilePasteboard::kMaxFileSize)
            throw std::length_error("pasteboard contents too large");
    }
    return bytes;
}

std::string temporaryName(const std::string& name) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%d.%016llx", static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(random()));
    return "." + name + suffix;  // a leading dot: no valid pasteboard file looks like this
}

}  // namespace

// Holds the pasteboard's process-wide and cross-process write lock. A brief lock gives up
// after kLockPatience: the agent's loop must not wait on another process's lock.
class FilePasteboard::Lock {
public:
    enum class Wait { unbounded, brief };

    Lock(FilePasteboard& pb, Wait wait) : guard_(pb.mutex_), fd_(pb.lockFd_.get()) {
        const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
        const int flags = wait == Wait::brief ? LOCK_EX | LOCK_NB : LOCK_EX;
        while (sys::calls.flock(fd_, flags) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) throwErrno("flock " + pb.name_);
            if (std::chrono::steady_clock::now() >= deadline)
                throw std::system_error(EWOULDBLOCK, std::generic_category(),
                                        "pasteboard " + pb.name_ + " is locked by another process");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    ~Lock() { ::flock(fd_, LOCK_UN); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    std::lock_guard<std::mutex> guard_;
    int fd_;
};

FilePasteboard::FilePasteboard(std::shared_ptr<const UniqueFd> dir, std::string name)
    : dir_(std::move(dir)),
      dirFd_(dir_->get()),
      name_(std::move(name)),
      fileName_(name_ + std::string(kSuffix)) {
    std::string lockName = name_ + ".lock";
    lockFd_.reset(::openat(dirFd_, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lockFd_) throwErrno("open pasteboard lock " + lockName);
}

std::optional<FilePasteboard::Contents> FilePasteboard::decode(std::string_view bytes) {
    auto count = parseHeader(bytes);
    if (!count) return std::nullopt;
    auto items = parseItems(bytes);
    if (!items) return std::nullopt;
    return Contents{*count, std::move(*items)};
}

std::string FilePasteboard::encode(std::int64_t changeCount, const std::vector<PasteboardItem>& items) {
    return encodeBytes(changeCount, items);
}

bool FilePasteboard::canReadString() {
    struct stat st {};
    if (::fstatat(dirFd_, fileName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return S_ISREG(st.st_mode) && (st.st_mode & 0777) == kModeWithText &&
           static_cast<std::size_t>(st.st_size) > kHeaderSize;
}

std::int64_t FilePasteboard::storedChangeCount() {
    UniqueFd fd(::openat(dirFd_, fileName_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return 0;
    char header[kHeaderSize];
    ssize_t n = ::read(fd.get(), header, sizeof header);
    if (n != static_cast<ssize_t>(kHeaderSize)) return 0;
    return parseHeader(std::string_view(header, kHeaderSize)).value_or(0);
}

std::int64_t FilePasteboard::changeCount() { return storedChangeCount(); }

std::vector<PasteboardItem> FilePasteboard::readItems(std::int64_t* changeCount, std::string* problem) {
    std::vector<PasteboardItem> items;
    std::int64_t count = 0;
    std::string why;
    // Not followed: a link planted under the name is no pasteboard.
    const BoundedFile file =
        readBoundedFile(dirFd_, fileName_.c_str(), kMaxFileSize, O_NOFOLLOW, kHeaderSize);
    if (file.regular) {
        count = parseHeader(file.bytes).value_or(0);
        if (file.tooLarge) {
            why = "it is larger than 16 MiB";
        } else if (auto parsed = decode(file.bytes)) {
            items = std::move(parsed->items);
        } else {
            why = "it is not in the pasteboard file format";
        }
        const bool anyText =
            std::any_of(items.begin(), items.end(), [](auto& i) { return i.text.has_value(); });
        if (why.empty() && file.mode == kModeWithText && !anyText)
            why = "its mode says text but no item holds any";
    }
    if (changeCount) *changeCount = count;
    if (problem) *problem = std::move(why);
    return items;
}

PasteboardRead FilePasteboard::readStrings() {
    PasteboardRead read;
    for (auto& item : readItems(&read.changeCount, &read.unreadable)) {
        if (item.text) read.texts.push_back(std::move(*item.text));
    }
    return read;
}

std::int64_t FilePasteboard::replaceLocked(const std::vector<PasteboardItem>& items, std::int64_t previous) {
    const std::int64_t next = previous + 1;
    const std::string bytes = encodeBytes(next, items);
    bool hasText = false;
    for (const auto& item : items) hasText = hasText || item.text.has_value();

    const std::string temp = temporaryName(name_);
    UniqueFd fd(::openat(dirFd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) throwErrno("create " + temp);
    if (!writeAll(fd.get(), bytes) || ::fchmod(fd.get(), hasText ? kModeWithText : kModeWithoutText) != 0) {
        int err = errno;
        ::unlinkat(dirFd_, temp.c_str(), 0);
        throw std::system_error(err, std::generic_category(), "write pasteboard " + name_);
    }
    fd.reset();
    // Exchanged, not renamed over: ext4 (auto_da_alloc) starts writing a file's data back
    // at a rename that replaces another file, not at an exchange, which is as atomic for
    // readers. The old contents then leave under the temporary name.
    if (sys::calls.renameat2(dirFd_, temp.c_str(), dirFd_, fileName_.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlinkat(dirFd_, temp.c_str(), 0);
        return next;
    }
    // No file yet, or a file system without exchange.
    if (sys::calls.renameat(dirFd_, temp.c_str(), dirFd_, fileName_.c_str()) != 0) {
        int err = errno;
        ::unlinkat(dirFd_, temp.c_str(), 0);
        throw std::system_error(err, std::generic_category(), "replace pasteboard " + name_);
    }
    return next;
}

std::int64_t FilePasteboard::clearContents() {
    Lock lock(*this, Lock::Wait::brief);
    return replaceLocked({}, storedChangeCount());
}

bool FilePasteboard::clearContentsIfChangeCount(std::int64_t expected) {
    Lock lock(*this, Lock::Wait::brief);
    const std::int64_t current = storedChangeCount();
    if (current != expected) return false;
    replaceLocked({}, current);
    return true;
}

std::int64_t FilePasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    Lock lock(*this, Lock::Wait::unbounded);
    return replaceLocked(items, storedChangeCount());
}

std::optional<std::int64_t> FilePasteboard::writeItemsIfChangeCount(
    std::int64_t expected, const std::vector<PasteboardItem>& items) {
    Lock lock(*this, Lock::Wait::unbounded);
    const std::int64_t current = storedChangeCount();
    if (current != expected) return std::nullopt;
    return replaceLocked(items, current);
}

FilePasteboardService::FilePasteboardService(std::filesystem::path dir, UniqueFd dirFd)
    : dir_(std::move(dir)), dirFd_(std::make_shared<const UniqueFd>(std::move(dirFd))) {}

std::unique_ptr<FilePasteboardService> FilePasteboardService::open(const std::filesystem::path& dir,
                                                                   std::string& error) {
    UniqueFd fd = openPrivateDirectory(dir, DirAccess::ownerOnly, error);
    if (!fd) return nullptr;
    return std::unique_ptr<FilePasteboardService>(new FilePasteboardService(dir, std::move(fd)));
}

std::string FilePasteboardService::nameProblem(std::string_view name) {
    if (name.empty()) return "a pasteboard name must not be empty";
    if (name.size() > kMaxNameLength) return "a pasteboard name must be at most 128 bytes";
    if (name.front() == '.') return "a pasteboard name must not start with '.'";
    for (char c : name) {
        if (c == '/') return "a pasteboard name must not contain '/'";
        if (c < 0x20 || c > 0x7e) return "a pasteboard name must be printable ASCII";
    }
    return {};
}

std::shared_ptr<Pasteboard> FilePasteboardService::pasteboardWithName(std::string_view name) {
    if (std::string problem = nameProblem(name); !problem.empty()) throw std::invalid_argument(problem);
    std::lock_guard lock(mutex_);
    auto it = pasteboards_.find(name);
    if (it == pasteboards_.end()) {
        it = pasteboards_
                 .emplace(std::string(name), std::make_shared<FilePasteboard>(dirFd_, std::string(name)))
                 .first;
    }
    return it->second;
}

FilePasteboardService::Watch FilePasteboardService::watchChanges(LinuxRunLoop& loop,
                                                                 std::function<void()> callback) {
    Watch watch;
    watch.inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.inotify_) throwErrno("inotify_init1");
    // Writes arrive by rename; IN_CLOSE_WRITE also catches a file edited in place.
    std::string path = "/proc/self/fd/" + std::to_string(dirFd_->get());
    if (::inotify_add_watch(watch.inotify_.get(), path.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) <
        0)
        throwErrno("inotify_add_watch " + dir_.string());
    int fd = watch.inotify_.get();
    watch.source_ = loop.addFdSource(fd, EPOLLIN, [fd, callback = std::move(callback)](std::uint32_t) {
        alignas(inotify_event) char buffer[4096];
        bool relevant = false;
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                std::string_view file = event->len > 0 ? std::string_view(event->name) : std::string_view();
                if ((event->mask & IN_Q_OVERFLOW) != 0 ||
                    (file.size() > kSuffix.size() && file.ends_with(kSuffix) && file.front() != '.'))
                    relevant = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        // One call per batch: the callback polls every pasteboard anyway.
        if (relevant) callback();
    });
    return watch;
}

}  // namespace tarvolin
