// Emulator command lists and their text parameters.
#include "terminal/emu_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace brimwell {

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

void TQuavEmuCommandParams::AddNamedBooleanArg(std::string_view name, bool v) {
    items_.push_back({std::string(name), v ? "TRUE" : "FALSE"});
}

void TQuavEmuCommandParams::AddNamedIntegerArg(std::string_view name, long long v) {
    items_.push_back({std::string(name), std::to_string(v)});
}

void TQuavEmuCommandParams::AddNamedStringArg(std::string_view name, std::string_view v) {
    items_.push_back({std::string(name), std::string(v)});
}

void TQuavEmuCommandParams::AddNamedTColorArg(std::string_view name, TColor v) {
    items_.push_back({std::string(name), std::to_string(v)});
}

const TQuavEmuCommandParamsItem* TQuavEmuCommandParams::FindName(std::string_view name, int position) const {
    if (!name.empty()) {
        for (const auto& item : items_)
            if (item.Name == name) return &item;
    }
    if (position >= 0 && position < Count()) return &items_[static_cast<std::size_t>(position)];
    return nullptr;
}

bool TQuavEmuCommandParams::GetBooleanValue(std::string_view name, int position, bool def) const {
    const auto* item = FindName(name, position);
    if (!item) return def;
    std::string v = item->value;
    std::transform(v.begin(), v.end(), v.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (v == "t" || v == "true" || v == "1" || v == "on" || v == "yes") return true;
    if (v == "f" || v == "false" || v == "0" || v == "off" || v == "no") return false;
    return def;
}

long long TQuavEmuCommandParams::GetIntegerValue(std::string_view name, int position, long long def) const {
    const auto* item = FindName(name, position);
    long long v = 0;
    return item && parseDecimal(item->value, v) ? v : def;
}

std::string TQuavEmuCommandParams::GetStringValue(std::string_view name, int position,
                                                  std::string_view def) const {
    const auto* item = FindName(name, position);
    return item ? item->value : std::string(def);
}

TColor TQuavEmuCommandParams::GetTColorValue(std::string_view name, int position, TColor def) const {
    const auto* item = FindName(name, position);
    long long v = 0;
    return item && parseDecimal(item->value, v) ? static_cast<TColor>(v) : def;
}

TQuavEmuCommandListItem& TQuavEmuCommandList::AddCommand(TQuavEmuCommand command) {
    if (static_cast<std::size_t>(count_) == items_.size()) items_.emplace_back();
    TQuavEmuCommandListItem& item = items_[static_cast<std::size_t>(count_++)];
    item.Command = command;
    item.Params.clear();
    return item;
}

} // namespace brimwell
