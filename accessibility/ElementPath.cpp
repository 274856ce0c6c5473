#include "accessibility/ElementPath.h"

#include <charconv>

namespace tarvolin {

namespace {

constexpr std::size_t kMaxSteps = 1000;

bool roleCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ' ';
}

}  // namespace

std::optional<std::vector<PathStep>> parseElementPath(std::string_view text, std::string& error) {
    std::vector<PathStep> steps;
    std::size_t i = 0;
    auto fail = [&](const std::string& what) {
        error = what + " at character " + std::to_string(i + 1) + " of the path";
        return std::nullopt;
    };
    if (text.empty()) return fail("no step");
    while (true) {
        if (steps.size() == kMaxSteps) return fail("more than " + std::to_string(kMaxSteps) + " steps");
        PathStep step;
        while (i < text.size() && roleCharacter(text[i])) step.role += text[i++];
        if (step.role.empty()) return fail("a role expected");
        if (i < text.size() && text[i] == '[') {
            ++i;
            while (i < text.size() && text[i] != ']') {
                if (text[i] == '\\' && ++i == text.size()) break;
                step.title += text[i++];
            }
            if (i == text.size()) return fail("a title without its closing ]");
            ++i;
        }
        if (i < text.size() && text[i] == '#') {
            ++i;
            const auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), step.index);
            if (ec != std::errc() || step.index < 1) return fail("an index from 1 expected");
            i = static_cast<std::size_t>(end - text.data());
        }
        steps.push_back(std::move(step));
        if (i == text.size()) return steps;
        if (text[i] != '/') return fail("a / expected");
        ++i;
    }
}

std::string formatPathStep(const PathStep& step) {
    std::string out = step.role;
    if (!step.title.empty()) {
        out += '[';
        for (char c : step.title) {
            if (c == ']' || c == '\\') out += '\\';
            out += c;
        }
        out += ']';
    }
    if (step.index != 1) out += "#" + std::to_string(step.index);
    return out;
}

}  // namespace tarvolin
