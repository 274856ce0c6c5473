#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// One step of a path from a window down its element tree: the child with this role and title
// (none: an empty or missing title), the index-th of its siblings alike (from 1).
struct PathStep {
    std::string role;
    std::string title;
    int index = 1;
    friend bool operator==(const PathStep&, const PathStep&) = default;
};

// A path as people type it: steps "ROLE[TITLE]#N" separated by "/", the title and the index left
// out where empty or 1; "\" takes the next character of a title as it is ("\]", "\\"). None, with
// `error` saying where, for any other text.
std::optional<std::vector<PathStep>> parseElementPath(std::string_view text, std::string& error);
// The text of one step, as parseElementPath reads it back.
std::string formatPathStep(const PathStep& step);

}  // namespace tarvolin
