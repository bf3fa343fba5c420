// Extended regular expressions as grep -E reads them, matched in time linear in
// the text whatever the pattern: the expression becomes an automaton without
// backtracking, whose states are built as the text needs them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tool {

class Pattern {
public:
    Pattern();
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // False with the reason when `expression` is not a valid pattern (or too
    // large: bounded repeats multiply its size). `ignoreCase` folds ASCII letters.
    bool Compile(const std::string& expression, std::string& error, bool ignoreCase = false);

    // Whether some part of `text` matches. Not thread-safe: it builds as it goes.
    bool Matches(std::string_view text) const;

private:
    struct Machine;
    std::unique_ptr<Machine> m_machine;
    std::string m_literal;  // a pattern without special characters: a plain search
    bool m_isLiteral = true;
};

}  // namespace tool
