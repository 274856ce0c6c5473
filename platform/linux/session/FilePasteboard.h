#pragma once

#include "LinuxRunLoop.h"
#include "UniqueFd.h"
#include "platform/Pasteboard.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tarvolin {

// A named pasteboard as one file, <dir>/<name>.pb, replaced whole by rename so a reader
// sees either the old contents or the new, never part of a write. Layout:
//
//   "TVPB1 " <change count, 20 decimal digits> "\n"          (27 bytes)
//   then per item: "T <n>\n" <n bytes of UTF-8 text> "\n"   or   "B 0\n" (no text)
//
// The file's permission bits tell, without reading it, whether an item holds text:
// 0600 when one does, 0400 when none does (cleared, or only non-text items). So the
// idle question canReadString() is one fstatat. Writers (and compare-and-clear)
// serialise their read-modify-write with flock on <dir>/<name>.lock; clears wait for it
// at most kLockPatience and then throw std::system_error (EWOULDBLOCK), so the caller's
// loop never waits on another process.
class FilePasteboard final : public Pasteboard {
public:
    static constexpr std::size_t kHeaderSize = 27;
    static constexpr std::size_t kMaxFileSize = 16u << 20;
    static constexpr std::chrono::milliseconds kLockPatience{5};

    FilePasteboard(std::shared_ptr<const UniqueFd> dir, std::string name);  // throws std::system_error

    std::int64_t changeCount() override;
    bool canReadString() override;
    PasteboardRead readStrings() override;
    std::int64_t clearContents() override;
    bool clearContentsIfChangeCount(std::int64_t expected) override;
    // Throws std::length_error when the items exceed kMaxFileSize.
    std::int64_t writeItems(const std::vector<PasteboardItem>& items) override;

    // Writes only while the change count is still `expected`: a sender that read an empty
    // pasteboard at that count cannot overwrite a command another sender placed meanwhile.
    // The new change count, or none when the count had moved on.
    std::optional<std::int64_t> writeItemsIfChangeCount(std::int64_t expected,
                                                        const std::vector<PasteboardItem>& items);

    // Every item, text or not, from one snapshot; a malformed file reads as empty, and
    // `problem` then says why (as does a file whose mode claims text it does not hold).
    std::vector<PasteboardItem> readItems(std::int64_t* changeCount = nullptr,
                                          std::string* problem = nullptr);

    // The file format alone: a whole file's bytes (none when malformed), and the bytes
    // for a change count and items.
    struct Contents {
        std::int64_t changeCount = 0;
        std::vector<PasteboardItem> items;
    };
    static std::optional<Contents> decode(std::string_view bytes);
    static std::string encode(std::int64_t changeCount, const std::vector<PasteboardItem>& items);
    const std::string& fileName() const { return fileName_; }

private:
    class Lock;
    std::int64_t replaceLocked(const std::vector<PasteboardItem>& items, std::int64_t previous);
    std::int64_t storedChangeCount();

    std::shared_ptr<const UniqueFd> dir_;  // pasteboards may outlive their service
    int dirFd_;
    std::string name_;
    std::string fileName_;
    UniqueFd lockFd_;
    std::mutex mutex_;  // flock does not exclude threads sharing one descriptor
};

class FilePasteboardService final : public PasteboardService {
public:
    // Opens (and creates) the directory; refuses one that is not private to this user.
    static std::unique_ptr<FilePasteboardService> open(const std::filesystem::path& dir, std::string& error);

    std::shared_ptr<Pasteboard> pasteboardWithName(std::string_view name) override;
    const std::filesystem::path& directory() const { return dir_; }

    // Calls back on the loop whenever a pasteboard file of this directory is replaced,
    // by this process or another. Stops when the returned watch is dropped.
    class Watch {
    public:
        Watch() = default;
        explicit operator bool() const { return static_cast<bool>(inotify_); }

    private:
        friend class FilePasteboardService;
        UniqueFd inotify_;
        LinuxRunLoop::FdSource source_;
    };
    Watch watchChanges(LinuxRunLoop& loop, std::function<void()> callback);  // throws std::system_error

    // Why a name is refused, or empty when it is fine: printable ASCII, no '/',
    // not starting with '.', at most 128 bytes.
    static std::string nameProblem(std::string_view name);

private:
    FilePasteboardService(std::filesystem::path dir, UniqueFd dirFd);
    std::filesystem::path dir_;
    std::shared_ptr<const UniqueFd> dirFd_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<FilePasteboard>, std::less<>> pasteboards_;
};

}  // namespace tarvolin
