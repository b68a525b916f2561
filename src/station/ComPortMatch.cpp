#include "station/ComPortMatch.h"

#include <algorithm>
#include <cctype>

namespace vandrelux::station {

namespace {

char Folded(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Matches the set that opens at glob[at] ('[' itself) against c; gives the position after the
// set, or npos when the set is not closed (then '[' stands for itself).
std::size_t MatchSet(std::string_view glob, std::size_t at, char c, bool& matched) {
    std::size_t i = at + 1;
    const bool negated = i < glob.size() && (glob[i] == '!' || glob[i] == '^');
    i += negated ? 1 : 0;
    bool inSet = false;
    for (bool first = true; i < glob.size() && (first || glob[i] != ']'); first = false) {
        const char low = Folded(glob[i]);
        if (i + 2 < glob.size() && glob[i + 1] == '-' && glob[i + 2] != ']') {
            inSet = inSet || (Folded(c) >= low && Folded(c) <= Folded(glob[i + 2]));
            i += 3;
        } else {
            inSet = inSet || Folded(c) == low;
            ++i;
        }
    }
    if (i >= glob.size()) {
        return std::string_view::npos;
    }
    matched = inSet != negated;
    return i + 1;
}

}  // namespace

bool GlobMatchesIgnoringCase(std::string_view glob, std::string_view text) {
    // Backtracking to the last star is enough: a later star never needs an earlier one to give
    // back what it took.
    std::size_t g = 0;
    std::size_t t = 0;
    std::size_t starGlob = std::string_view::npos;
    std::size_t starText = 0;
    while (t < text.size()) {
        bool step = false;
        std::size_t next = g + 1;
        if (g < glob.size() && glob[g] == '*') {
            starGlob = g++;
            starText = t;
            continue;
        }
        if (g < glob.size() && glob[g] == '?') {
            step = true;
        } else if (g < glob.size() && glob[g] == '[') {
            bool matched = false;
            next = MatchSet(glob, g, text[t], matched);
            step = next == std::string_view::npos ? text[t] == '[' : matched;
            next = next == std::string_view::npos ? g + 1 : next;
        } else if (g < glob.size()) {
            step = Folded(glob[g]) == Folded(text[t]);
        }
        if (step) {
            g = next;
            ++t;
        } else if (starGlob != std::string_view::npos) {
            g = starGlob + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') {
        ++g;
    }
    return g == glob.size();
}

std::vector<std::string> MatchComPorts(const std::vector<std::string>& globs,
                                       const std::vector<platform::SerialPortInfo>& ports) {
    std::vector<std::string> matched;
    for (const platform::SerialPortInfo& port : ports) {
        const bool taken = std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
            return GlobMatchesIgnoringCase(glob, port.name) ||
                   GlobMatchesIgnoringCase(glob, port.device) ||
                   (!port.friendlyName.empty() &&
                    GlobMatchesIgnoringCase(glob, port.friendlyName)) ||
                   (!port.location.empty() && GlobMatchesIgnoringCase(glob, port.location));
        });
        if (taken && std::find(matched.begin(), matched.end(), port.device) == matched.end()) {
            matched.push_back(port.device);
        }
    }
    return matched;
}

}  // namespace vandrelux::station
