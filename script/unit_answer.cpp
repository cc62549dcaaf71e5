#include "script/unit_answer.h"

namespace brimwell::script {

void UnitAnswer::setPrompts(char mainPrompt, char loaderPrompt) {
    mainPrompt_ = mainPrompt;
    loaderPrompt_ = loaderPrompt;
}

void UnitAnswer::reset() {
    current_.clear();
    last_.clear();
}

void UnitAnswer::add(char c) {
    if (c == '\r' || c == '\n') {
        while (!current_.empty() && current_.back() == ' ')
            current_.pop_back();
        if (!current_.empty()) last_.swap(current_);
        current_.clear();
        return;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) return; // binary bytes cannot be quoted
    if (current_.empty() && (c == ' ' || (c != '\0' && (c == mainPrompt_ || c == loaderPrompt_)))) return;
    if (current_.size() < kMaxLine) current_.push_back(c);
}

std::string UnitAnswer::lastLine() const {
    std::string open = current_;
    while (!open.empty() && open.back() == ' ')
        open.pop_back();
    return open.empty() ? last_ : open;
}

} // namespace brimwell::script
