#include "screen/sequence.h"

#include <algorithm>
#include <string>

#include "screen/parser.h"

namespace screen {

void readParams(std::string_view bytes, Sequence& s) {
    size_t i = 0;
    if (!bytes.empty() && bytes[0] >= '<' && bytes[0] <= '?') {
        s.leader = bytes[0];
        i = 1;
    }
    s.count = 0;
    s.subs = 0;
    s.empties = 0;
    parsing::ParamReader reader;
    for (; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c >= '0' && c <= '9')
            reader.digit(s, c);
        else if (c == ';' || c == ':')
            reader.separator(s, c);
        else
            s.malformed = true;  // a leader byte after the first
    }
    reader.finish(s);
}

namespace parsing {

void appendParams(std::string& out, const Sequence& s, const ParamReader* r) {
    if (s.leader) out += s.leader;
    for (size_t i = 0; i < s.count; ++i) {
        if (i > 0) out += s.isSub(i) ? ':' : ';';
        if (s.present(i)) out += std::to_string(s.values[i]);
    }
    if (s.tooLarge) {
        if (s.count > 0) out += ';';
        out += std::to_string(kParamLimit);
    }
    // The parameter being read.
    if (r && (s.count > 0 || !r->empty || r->sub)) {
        if (s.count > 0 || r->sub) out += r->sub ? ':' : ';';
        if (!r->empty) out += std::to_string(std::min(r->value, kParamLimit));
    }
}

}  // namespace parsing

}  // namespace screen
