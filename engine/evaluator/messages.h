// What the messages of check, explain and the standard syntax may hold: a
// text from outside is quoted short (a service may show the message), and
// check reports a bounded number of problems, explain a bounded text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmoratrix {

constexpr std::size_t kMostProblems = 1000;
constexpr std::size_t kMostExplained = std::size_t{1} << 16;
constexpr std::size_t kMostSpelled = 4 * kMostExplained; // bytes of the steps' tokens
constexpr std::size_t kMostQuoted = 40;                  // bytes of a token a message quotes

// The text in quotes; a long one cut, on a character's first byte, with an
// ellipsis. Positions and lengths stay those of the whole token.
inline std::string quoted(std::string_view text) {
    if (text.size() <= kMostQuoted) return "'" + std::string(text) + "'";
    std::size_t cut = kMostQuoted;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return "'" + std::string(text.substr(0, cut)) + "…'";
}

} // namespace velmoratrix
