#pragma once

#include "LinuxRunLoop.h"
#include "UniqueFd.h"
#include "platform/Notifications.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarvolin {

// One defaults domain: the XML property list <dir>/<domain>.plist, whose root is a
// dictionary. Reads see the file as it is now (a stat per read, a parse only when the
// file was replaced). Writes are read-modify-write under flock on <dir>/<domain>.lock,
// then an atomic rename, so concurrent writers from several processes lose no key.
// A file that does not parse reads as no values and is logged once; a write first moves it
// aside as <domain>.plist.unreadable-<UTC time>. A file others could have written (or a
// symbolic link) is neither obeyed nor written over.
class PlistUserDefaults final : public UserDefaults, public std::enable_shared_from_this<PlistUserDefaults> {
public:
    static constexpr std::size_t kMaxFileSize = 16u << 20;
    static constexpr int kMaxDepth = 128;

    PlistUserDefaults(std::shared_ptr<const UniqueFd> dir, std::string domain, NotificationCenter& center,
                      SystemLog& log);

    std::optional<Value> objectForKey(std::string_view key) override;
    // Throws std::invalid_argument for values a property list cannot hold (null,
    // elements, geometry values, URLs) and std::system_error when the file cannot be written
    // or is refused (EPERM, with the reason).
    void setObject(std::string_view key, const Value& value) override;
    void removeObject(std::string_view key) override;

    Value::Dictionary dictionaryRepresentation();

    // The file format alone, for tests and fuzzing: the root dictionary of a domain file's
    // bytes (none unless a property list with a dictionary root), its values as read, and
    // the bytes a write gives for values (throws std::invalid_argument as setObject does).
    static std::optional<Value::Dictionary> decodeDomain(std::string_view bytes);
    static std::string encodeDomain(const Value::Dictionary& values);
    const std::string& domain() const { return domain_; }
    const std::string& fileName() const { return fileName_; }

    // For the directory watch: true when the file was replaced or removed since the last
    // time this store saw it (its own writes included), and then posts the change.
    bool noticeFileChange();

private:
    struct FileId {
        dev_t dev;
        ino_t ino;
        off_t size;
        long mtimeSec;
        long mtimeNsec;
        friend bool operator==(const FileId&, const FileId&) = default;
    };
    std::optional<FileId> currentFileId() const;
    void refreshLocked();
    void modify(std::string_view key, const Value* value);
    void keepUnreadableFile();
    void postChange();

    std::shared_ptr<const UniqueFd> dir_;  // stores may outlive their service
    int dirFd_;
    std::string domain_;
    std::string fileName_;
    NotificationCenter& center_;
    SystemLog& log_;
    std::mutex mutex_;
    UniqueFd lockFd_;
    Value::Dictionary values_;
    std::optional<FileId> loaded_;  // the file version values_ came from
    bool loadedOnce_ = false;
    std::optional<FileId> announced_;  // the file version last announced to observers
};

class PlistUserDefaultsService final : public UserDefaultsService {
public:
    static constexpr const char* kStandardDomain = "org.tarvolin.agent";
    static constexpr const char* kSharedDomain = "org.tarvolin.shared";

    // Opens (and creates) the directory; refuses one that other users can write.
    static std::unique_ptr<PlistUserDefaultsService> open(const std::filesystem::path& dir,
                                                          NotificationCenter& center, SystemLog& log,
                                                          std::string& error);

    std::shared_ptr<UserDefaults> standardUserDefaults() override;
    std::shared_ptr<UserDefaults> sharedUserDefaults() override;
    // Any domain by name; throws std::invalid_argument for a name that is not a plain file name.
    std::shared_ptr<PlistUserDefaults> domain(std::string_view name);

    // From now on a replaced domain file posts NSUserDefaultsDidChangeNotification on the loop.
    void watchChanges(LinuxRunLoop& loop);  // throws std::system_error
    const std::filesystem::path& directory() const { return dir_; }

private:
    PlistUserDefaultsService(std::filesystem::path dir, UniqueFd dirFd, NotificationCenter& center,
                             SystemLog& log);
    void onInotify();

    std::filesystem::path dir_;
    std::shared_ptr<const UniqueFd> dirFd_;
    NotificationCenter& center_;
    SystemLog& log_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<PlistUserDefaults>, std::less<>> domains_;
    UniqueFd inotify_;
    LinuxRunLoop::FdSource inotifySource_;
};

}  // namespace tarvolin
