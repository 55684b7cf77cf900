#include "kiv/shell_words.h"

#include <algorithm>
#include <cctype>

namespace kiv {

std::string shellWord(std::string_view word) {
    // "=" and "%" only inside a word: first, zsh expands "=cmd" to a path
    // and fish "%name" to a process.
    bool plain = !word.empty() && word.front() != '=' && word.front() != '%' &&
                 std::all_of(word.begin(), word.end(), [](unsigned char c) {
                     return std::isalnum(c) || c >= 0x80 ||
                            std::string_view("-_./:=+,@%").find(char(c)) != std::string::npos;
                 });
    if (plain) return std::string(word);
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string shellLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + shellWord(word);
    return line;
}

}  // namespace kiv
