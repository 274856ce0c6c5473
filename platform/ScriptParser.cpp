#include "ScriptParser.h"

#include <optional>
#include <vector>

namespace tarvolin {

namespace {

struct Token {
    bool literal = false;
    std::string text;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Words and string literals; on a malformed literal, the error text.
std::variant<std::vector<Token>, std::string> tokenize(std::string_view s) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < s.size()) {
        if (isSpace(s[i])) {
            ++i;
        } else if (s[i] == '"') {
            Token t{true, {}};
            for (++i;; ++i) {
                if (i >= s.size()) return std::string("unterminated string literal");
                if (s[i] == '"') break;
                if (s[i] == '\\') {
                    if (++i >= s.size()) return std::string("unterminated string literal");
                    if (s[i] != '"' && s[i] != '\\')
                        return "unsupported escape \\" + std::string(1, s[i]) + " in string literal";
                }
                t.text += s[i];
            }
            ++i;
            out.push_back(std::move(t));
        } else {
            Token t;
            while (i < s.size() && !isSpace(s[i]) && s[i] != '"') t.text += s[i++];
            out.push_back(std::move(t));
        }
    }
    return out;
}

// Matches the tokens against a pattern of words, where "$" stands for a literal.
std::optional<std::vector<std::string>> match(const std::vector<Token>& tokens,
                                              std::initializer_list<std::string_view> pattern) {
    if (tokens.size() != pattern.size()) return std::nullopt;
    std::vector<std::string> literals;
    size_t i = 0;
    for (std::string_view p : pattern) {
        const Token& t = tokens[i++];
        if (p == "$") {
            if (!t.literal) return std::nullopt;
            literals.push_back(t.text);
        } else if (t.literal || t.text != p) {
            return std::nullopt;
        }
    }
    return literals;
}

}  // namespace

ParsedScript parseScript(std::string_view source) {
    auto tokens = tokenize(source);
    if (auto* error = std::get_if<std::string>(&tokens)) return ScriptError{"script syntax error: " + *error};
    const auto& t = std::get<std::vector<Token>>(tokens);

    if (auto m = match(t, {"tell", "the", "application", "$", "to", "quit"})) return QuitApplication{(*m)[0]};
    if (auto m = match(t, {"tell", "the", "application", "$", "to", "activate"}))
        return ActivateApplication{(*m)[0]};
    if (auto m = match(
            t, {"tell", "the", "application", "$", "to", "keystroke", "$", "using", "command", "down"})) {
        if ((*m)[0] != "System Events")
            return ScriptError{"keystrokes can only be sent through \"System Events\""};
        if ((*m)[1] != "w")
            return ScriptError{"unsupported keystroke \"" + (*m)[1] + "\": only Command-W is sent"};
        return CloseKeystroke{};
    }
    return ScriptError{"unsupported script: only quit, activate and the Command-W keystroke are understood"};
}

}  // namespace tarvolin
