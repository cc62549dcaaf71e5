// Emulator command lists and their text parameters.
#include "terminal/emu_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace brimwell::terminal {

namespace {

bool parseDecimal(const std::string& text, long long& out) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first; // from_chars takes a minus sign only
    if (first == last) return false;
    auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last;
}

} // namespace

void EmuCommandParams::addNamedBooleanArg(std::string_view name, bool v) {
    items_.push_back({std::string(name), v ? "TRUE" : "FALSE"});
}

void EmuCommandParams::addNamedIntegerArg(std::string_view name, long long v) {
    items_.push_back({std::string(name), std::to_string(v)});
}

void EmuCommandParams::addNamedStringArg(std::string_view name, std::string_view v) {
    items_.push_back({std::string(name), std::string(v)});
}

void EmuCommandParams::addNamedTColorArg(std::string_view name, Color v) {
    items_.push_back({std::string(name), std::to_string(v)});
}

const EmuCommandParamsItem* EmuCommandParams::findName(std::string_view name, int position) const {
    if (!name.empty()) {
        for (const auto& item : items_)
            if (item.name == name) return &item;
    }
    if (position >= 0 && position < count()) return &items_[static_cast<std::size_t>(position)];
    return nullptr;
}

bool EmuCommandParams::getBooleanValue(std::string_view name, int position, bool def) const {
    const auto* item = findName(name, position);
    if (!item) return def;
    std::string v = item->value;
    std::transform(v.begin(), v.end(), v.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (v == "t" || v == "true" || v == "1" || v == "on" || v == "yes") return true;
    if (v == "f" || v == "false" || v == "0" || v == "off" || v == "no") return false;
    return def;
}

long long EmuCommandParams::getIntegerValue(std::string_view name, int position, long long def) const {
    const auto* item = findName(name, position);
    long long v = 0;
    return item && parseDecimal(item->value, v) ? v : def;
}

std::string EmuCommandParams::getStringValue(std::string_view name, int position,
                                             std::string_view def) const {
    const auto* item = findName(name, position);
    return item ? item->value : std::string(def);
}

Color EmuCommandParams::getTColorValue(std::string_view name, int position, Color def) const {
    const auto* item = findName(name, position);
    long long v = 0;
    return item && parseDecimal(item->value, v) ? static_cast<Color>(v) : def;
}

EmuCommandListItem& EmuCommandList::addCommand(EmuCommand command) {
    if (static_cast<std::size_t>(count_) == items_.size()) items_.emplace_back();
    EmuCommandListItem& item = items_[static_cast<std::size_t>(count_++)];
    item.command = command;
    item.params.clear();
    return item;
}

} // namespace brimwell::terminal
