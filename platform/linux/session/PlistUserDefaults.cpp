#include "PlistUserDefaults.h"

#include "platform/plist/PlistSupport.h"

#include "PrivateDir.h"
#include "SysCalls.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>
#include <system_error>

namespace tarvolin {

namespace {

struct XmlFree {
    void operator()(char* xml) const { plistMemFree(xml); }
};

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// None when the value (or something inside it) has no property-list form, a string or key
// that is not storable text included: written, it would come back cut or changed.
PlistPtr toPlist(const Value& value, int depth) {
    if (depth > PlistUserDefaults::kMaxDepth) return nullptr;
    if (const auto* s = value.asString()) {
        return isStorableText(*s) ? PlistPtr(plist_new_string(s->c_str())) : nullptr;
    }
    if (const auto* i = value.asInteger()) return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(*i)));
    if (const auto* d = value.asReal()) return PlistPtr(plist_new_real(*d));
    if (const auto* b = value.asBoolean()) return PlistPtr(plist_new_bool(*b ? 1 : 0));
    if (const auto* data = value.asData()) {
        return PlistPtr(plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
    }
    if (const auto* array = value.asArray()) {
        PlistPtr node(plist_new_array());
        for (const auto& item : *array) {
            PlistPtr child = toPlist(item, depth + 1);
            if (!child) return nullptr;
            plist_array_append_item(node.get(), child.release());
        }
        return node;
    }
    if (const auto* dict = value.asDictionary()) {
        PlistPtr node(plist_new_dict());
        for (const auto& [key, item] : *dict) {
            PlistPtr child = toPlist(item, depth + 1);
            if (!child || !isStorableText(key)) return nullptr;
            plist_dict_set_item(node.get(), key.c_str(), child.release());
        }
        return node;
    }
    return nullptr;
}

// None for node types a Value cannot carry (dates, archive UIDs); such entries read as absent.
std::optional<Value> fromPlist(plist_t node, int depth) {
    if (node == nullptr || depth > PlistUserDefaults::kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_ARRAY: {
            Value::Array array;
            std::uint32_t n = plist_array_get_size(node);
            for (std::uint32_t i = 0; i < n; ++i) {
                if (auto item = fromPlist(plist_array_get_item(node, i), depth + 1)) array.push_back(*item);
            }
            return Value::array(std::move(array));
        }
        case PLIST_DICT: {
            Value::Dictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            std::unique_ptr<void, decltype(&std::free)> ownedIter(it, &std::free);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (item == nullptr) {
                    std::free(key);
                    break;
                }
                std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
                if (!key || !isStorableText(key)) continue;
                if (auto converted = fromPlist(item, depth + 1)) dict.emplace(key, *converted);
            }
            return Value::dictionary(std::move(dict));
        }
        default:
            return plistScalar(node);
    }
}

PlistPtr parseDomain(std::string_view bytes) {
    plist_t node = nullptr;
    if (!bytes.empty() && bytes.size() <= PlistUserDefaults::kMaxFileSize)
        node = plistFromMemory(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    PlistPtr root(node);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return nullptr;
    return root;
}

Value::Dictionary dictionaryOf(plist_t root) {
    auto dict = fromPlist(root, 0);
    return dict && dict->asDictionary() ? *dict->asDictionary() : Value::Dictionary{};
}

enum class Parse { missing, ok, empty, malformed, refused };

// Why a domain file must not be obeyed: whoever else can write it could command the agent.
std::string untrustedFileProblem(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != ::geteuid())
        return "it is owned by uid " + std::to_string(st.st_uid) + ", not by this user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("group or others may write it (mode ") + mode + ")";
    }
    return {};
}

// The root dictionary of a domain file; `problem` says why a file was refused.
Parse readDomainFile(int dirFd, const std::string& name, PlistPtr& root, std::string& problem) {
    // O_NONBLOCK: opening a FIFO planted under the name must not stall the loop.
    UniqueFd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return Parse::missing;
        problem =
            errno == ELOOP ? "it is a symbolic link" : std::string("cannot open it: ") + std::strerror(errno);
        return Parse::refused;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        problem = std::string("cannot inspect it: ") + std::strerror(errno);
        return Parse::refused;
    }
    if (problem = untrustedFileProblem(st); !problem.empty()) return Parse::refused;
    std::string bytes;
    char buffer[8192];
    for (;;) {
        ssize_t n = sys::calls.read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            // Not known to be broken: a write must not take it for garbage.
            problem = std::string("cannot read it: ") + std::strerror(errno);
            return Parse::refused;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > PlistUserDefaults::kMaxFileSize) return Parse::malformed;
    }
    if (bytes.empty()) return Parse::empty;
    root = parseDomain(bytes);
    return root ? Parse::ok : Parse::malformed;
}

std::string domainProblem(std::string_view name) {
    if (name.empty() || name.size() > 200) return "a defaults domain name must have 1 to 200 bytes";
    if (name.front() == '.') return "a defaults domain name must not start with '.'";
    for (char c : name) {
        if (c == '/' || c < 0x21 || c > 0x7e)
            return "a defaults domain name must be printable ASCII without '/'";
    }
    return {};
}

}  // namespace

std::optional<Value::Dictionary> PlistUserDefaults::decodeDomain(std::string_view bytes) {
    PlistPtr root = parseDomain(bytes);
    if (!root) return std::nullopt;
    return dictionaryOf(root.get());
}

std::string PlistUserDefaults::encodeDomain(const Value::Dictionary& values) {
    PlistPtr root = toPlist(Value::dictionary(values), 0);
    if (!root) throw std::invalid_argument("defaults cannot store these values");
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::unique_ptr<char, XmlFree> owned(xml);
    return xml ? std::string(xml, length) : std::string();
}

PlistUserDefaults::PlistUserDefaults(std::shared_ptr<const UniqueFd> dir, std::string domain,
                                     NotificationCenter& center, SystemLog& log)
    : dir_(std::move(dir)),
      dirFd_(dir_->get()),
      domain_(std::move(domain)),
      fileName_(domain_ + ".plist"),
      center_(center),
      log_(log) {
    std::string lockName = domain_ + ".lock";
    lockFd_.reset(::openat(dirFd_, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lockFd_) throwErrno("open defaults lock " + lockName);
    announced_ = currentFileId();
}

std::optional<PlistUserDefaults::FileId> PlistUserDefaults::currentFileId() const {
    struct stat st {};
    if (::fstatat(dirFd_, fileName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

void PlistUserDefaults::refreshLocked() {
    auto id = currentFileId();
    if (loadedOnce_ && id == loaded_) return;
    PlistPtr root;
    std::string problem;
    Parse result = readDomainFile(dirFd_, fileName_, root, problem);
    values_.clear();
    if (result == Parse::ok) {
        values_ = dictionaryOf(root.get());
    } else if (result == Parse::malformed || result == Parse::empty) {
        log_.log("tarvolin: defaults file " + fileName_ +
                 " is not a property list with a dictionary at its root; reading it as empty");
    } else if (result == Parse::refused) {
        log_.log("tarvolin: ignoring defaults file " + fileName_ + ": " + problem);
    }
    loaded_ = id;
    loadedOnce_ = true;
}

std::optional<Value> PlistUserDefaults::objectForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

Value::Dictionary PlistUserDefaults::dictionaryRepresentation() {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return values_;
}

void PlistUserDefaults::setObject(std::string_view key, const Value& value) { modify(key, &value); }

void PlistUserDefaults::removeObject(std::string_view key) { modify(key, nullptr); }

void PlistUserDefaults::modify(std::string_view key, const Value* value) {
    if (key.find('\0') != std::string_view::npos)
        throw std::invalid_argument("a defaults key must not contain NUL");
    const std::string keyText(key);
    PlistPtr node;
    if (value) {
        node = toPlist(*value, 0);
        if (!node) throw std::invalid_argument("defaults cannot store " + value->description());
    }
    {
        std::lock_guard lock(mutex_);
        while (sys::calls.flock(lockFd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) throwErrno("flock " + fileName_);
        }
        struct Unlock {
            int fd;
            ~Unlock() { ::flock(fd, LOCK_UN); }
        } unlock{lockFd_.get()};

        // Edit the tree as stored, so entries of kinds we do not model survive.
        PlistPtr root;
        std::string problem;
        switch (readDomainFile(dirFd_, fileName_, root, problem)) {
            case Parse::ok:
                break;
            case Parse::refused:
                // Whatever it is (a link a dotfile manager keeps, a file shared with a group),
                // its owner meant it: replacing it would lose it.
                throw std::system_error(EPERM, std::generic_category(),
                                        "defaults file " + fileName_ + " is not written over: " + problem);
            case Parse::malformed:
                keepUnreadableFile();
                [[fallthrough]];
            case Parse::missing:
            case Parse::empty:
                root.reset(plist_new_dict());
        }
        if (node) {
            plist_dict_set_item(root.get(), keyText.c_str(), node.release());
        } else {
            if (!plist_dict_get_item(root.get(), keyText.c_str()))
                return;  // nothing to remove, nothing changes
            plist_dict_remove_item(root.get(), keyText.c_str());
        }
        char* xml = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(root.get(), &xml, &length);
        std::unique_ptr<char, XmlFree> ownedXml(xml);
        if (!xml) throw std::runtime_error("cannot encode defaults domain " + domain_);

        thread_local std::mt19937_64 random{std::random_device{}()};
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%d.%016llx", static_cast<int>(::getpid()),
                      static_cast<unsigned long long>(random()));
        const std::string temp = "." + domain_ + suffix;
        UniqueFd fd(
            ::openat(dirFd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) throwErrno("create " + temp);
        std::string_view rest(xml, length);
        while (!rest.empty()) {
            ssize_t n = sys::calls.write(fd.get(), rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int err = n < 0 ? errno : EIO;
                ::unlinkat(dirFd_, temp.c_str(), 0);
                throw std::system_error(err, std::generic_category(), "write defaults " + domain_);
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        // Settings outlive a crash, unlike pasteboards: make the data durable before the rename.
        if (sys::calls.fsync(fd.get()) != 0 ||
            sys::calls.renameat(dirFd_, temp.c_str(), dirFd_, fileName_.c_str()) != 0) {
            int err = errno;
            ::unlinkat(dirFd_, temp.c_str(), 0);
            throw std::system_error(err, std::generic_category(), "replace defaults " + domain_);
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0) {
            // Our own write: announced below, so the directory watch must not announce it again.
            announced_ = FileId{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
        }
        loadedOnce_ = false;  // re-read on next access: the file holds what others wrote too
    }
    postChange();
}

void PlistUserDefaults::keepUnreadableFile() {
    // Someone's hand edit gone wrong, or a newer format: keep it for them to mend.
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", ::gmtime_r(&now, &utc));
    std::string kept = fileName_ + ".unreadable-" + stamp;
    for (int n = 2;
         sys::calls.renameat2(dirFd_, fileName_.c_str(), dirFd_, kept.c_str(), RENAME_NOREPLACE) != 0; ++n) {
        if (errno != EEXIST || n > 99)
            throwErrno("keep unreadable defaults file " + fileName_ + " as " + kept);
        kept = fileName_ + ".unreadable-" + stamp + "-" + std::to_string(n);
    }
    log_.log("tarvolin: defaults file " + fileName_ + " could not be read; kept it as " + kept +
             " before writing a new one");
}

bool PlistUserDefaults::noticeFileChange() {
    {
        std::lock_guard lock(mutex_);
        auto id = currentFileId();
        if (id == announced_) return false;
        announced_ = id;
    }
    postChange();
    return true;
}

void PlistUserDefaults::postChange() {
    center_.postNotification(
        Notification{NSUserDefaultsDidChangeNotification, std::shared_ptr<UserDefaults>(shared_from_this())});
}

PlistUserDefaultsService::PlistUserDefaultsService(std::filesystem::path dir, UniqueFd dirFd,
                                                   NotificationCenter& center, SystemLog& log)
    : dir_(std::move(dir)),
      dirFd_(std::make_shared<const UniqueFd>(std::move(dirFd))),
      center_(center),
      log_(log) {}

std::unique_ptr<PlistUserDefaultsService> PlistUserDefaultsService::open(const std::filesystem::path& dir,
                                                                         NotificationCenter& center,
                                                                         SystemLog& log, std::string& error) {
    UniqueFd fd = openPrivateDirectory(dir, DirAccess::ownerWritable, error);
    if (!fd) return nullptr;
    return std::unique_ptr<PlistUserDefaultsService>(
        new PlistUserDefaultsService(dir, std::move(fd), center, log));
}

std::shared_ptr<PlistUserDefaults> PlistUserDefaultsService::domain(std::string_view name) {
    if (std::string problem = domainProblem(name); !problem.empty()) throw std::invalid_argument(problem);
    std::lock_guard lock(mutex_);
    auto it = domains_.find(name);
    if (it == domains_.end()) {
        auto store = std::make_shared<PlistUserDefaults>(dirFd_, std::string(name), center_, log_);
        it = domains_.emplace(std::string(name), std::move(store)).first;
    }
    return it->second;
}

std::shared_ptr<UserDefaults> PlistUserDefaultsService::standardUserDefaults() {
    return domain(kStandardDomain);
}
std::shared_ptr<UserDefaults> PlistUserDefaultsService::sharedUserDefaults() { return domain(kSharedDomain); }

void PlistUserDefaultsService::watchChanges(LinuxRunLoop& loop) {
    if (inotify_) return;
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) throwErrno("inotify_init1");
    std::string path = "/proc/self/fd/" + std::to_string(dirFd_->get());
    if (::inotify_add_watch(fd.get(), path.c_str(),
                            IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) < 0)
        throwErrno("inotify_add_watch " + dir_.string());
    inotify_ = std::move(fd);
    inotifySource_ = loop.addFdSource(inotify_.get(), EPOLLIN, [this](std::uint32_t) { onInotify(); });
}

void PlistUserDefaultsService::onInotify() {
    alignas(inotify_event) char buffer[4096];
    std::vector<std::string> touched;
    bool overflow = false;
    for (;;) {
        ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((event->mask & IN_Q_OVERFLOW) != 0) overflow = true;
            if (event->len > 0) touched.emplace_back(event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    std::vector<std::shared_ptr<PlistUserDefaults>> stores;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, store] : domains_) stores.push_back(store);
    }
    // Only domains someone holds can have observers; each announces a replaced file once.
    for (auto& store : stores) {
        bool hit = overflow;
        for (const auto& file : touched) hit = hit || file == store->fileName();
        if (hit) store->noticeFileChange();
    }
}

}  // namespace tarvolin
