#pragma once

#include "UniqueFd.h"

#include <filesystem>
#include <string>

namespace tarvolin {

// Where the user's pasteboards and instance lock live: $XDG_RUNTIME_DIR/tarvolin,
// or /tmp/tarvolin-<uid> when the session has no runtime directory.
std::filesystem::path runtimeDirectory();

// Where the defaults domains live: $XDG_CONFIG_HOME/tarvolin, or ~/.config/tarvolin.
std::filesystem::path configDirectory();

// Where files that can be made again live: $XDG_CACHE_HOME/tarvolin, or ~/.cache/tarvolin.
std::filesystem::path cacheDirectory();

enum class DirAccess {
    ownerOnly,      // nobody else may read or write (mode 0700)
    ownerWritable,  // others may read, only the owner may write
};

// Creates the directory (parents with 0700) when missing, then opens it without
// following a symbolic link and checks that it belongs to this user with the given
// access. Any other state is refused: a directory that someone else can write lets
// them forge commands. On refusal returns an empty fd and a message naming the path.
UniqueFd openPrivateDirectory(const std::filesystem::path& path, DirAccess access, std::string& error);

}  // namespace tarvolin
