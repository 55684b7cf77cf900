#include "kiv/fields.h"

namespace kiv {

void addField(std::string& out, std::string_view key, std::string_view value) {
    out.append(key);
    out += '=';
    out.append(value);
    out += '\0';
}

std::optional<std::vector<Field>> splitFields(std::string_view payload) {
    std::vector<Field> fields;
    while (!payload.empty()) {
        size_t end = payload.find('\0');
        if (end == std::string_view::npos) return std::nullopt;
        std::string_view field = payload.substr(0, end);
        payload.remove_prefix(end + 1);
        size_t eq = field.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        fields.push_back({field.substr(0, eq), field.substr(eq + 1)});
    }
    return fields;
}

}  // namespace kiv
