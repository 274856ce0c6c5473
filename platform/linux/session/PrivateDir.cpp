#include "PrivateDir.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvolin {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

std::filesystem::path homeDirectory() {
    if (const char* home = nonEmptyEnv("HOME")) return home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

std::filesystem::path runtimeDirectory() {
    if (const char* dir = nonEmptyEnv("XDG_RUNTIME_DIR")) return std::filesystem::path(dir) / "tarvolin";
    return std::filesystem::path("/tmp") / ("tarvolin-" + std::to_string(::geteuid()));
}

std::filesystem::path configDirectory() {
    if (const char* dir = nonEmptyEnv("XDG_CONFIG_HOME")) return std::filesystem::path(dir) / "tarvolin";
    return homeDirectory() / ".config" / "tarvolin";
}

std::filesystem::path cacheDirectory() {
    if (const char* dir = nonEmptyEnv("XDG_CACHE_HOME")) return std::filesystem::path(dir) / "tarvolin";
    return homeDirectory() / ".cache" / "tarvolin";
}

UniqueFd openPrivateDirectory(const std::filesystem::path& path, DirAccess access, std::string& error) {
    if (!path.is_absolute()) {
        error = "directory " + path.string() + " is not an absolute path";
        return {};
    }
    // Parents are made private too; existing parents are left as they are.
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + partial.string() + ": " + errnoText(errno);
            return {};
        }
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        error = "cannot open directory " + path.string() + ": " + errnoText(errno) +
                (errno == ELOOP || errno == ENOTDIR ? " (it must be a real directory, not a link)" : "");
        return {};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = "cannot examine " + path.string() + ": " + errnoText(errno);
        return {};
    }
    if (st.st_uid != ::geteuid()) {
        error = "refusing " + path.string() + ": it belongs to uid " + std::to_string(st.st_uid) +
                ", not to this user (uid " + std::to_string(::geteuid()) + ")";
        return {};
    }
    const mode_t forbidden = access == DirAccess::ownerOnly ? mode_t{077} : mode_t{022};
    if ((st.st_mode & forbidden) != 0) {
        error =
            "refusing " + path.string() + ": its mode " + modeText(st.st_mode) +
            (access == DirAccess::ownerOnly ? " lets other users in; it must be 0700"
                                            : " lets other users write; it must not be group/other writable");
        return {};
    }
    return fd;
}

}  // namespace tarvolin
