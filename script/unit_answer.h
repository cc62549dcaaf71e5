// The unit's latest line of text, so that a failure can quote the unit's own reason ("LOAD ERROR:
// checksum mismatch") instead of only saying that its prompt never came.
#pragma once

#include <cstddef>
#include <string>

namespace brimwell::script {

class UnitAnswer {
  public:
    // Prompt characters that open a line are the unit's prompts, not part of what it says.
    void setPrompts(char mainPrompt, char loaderPrompt);
    void reset();
    void add(char c);
    // The last line with text in it (the line still open when it has text), or "".
    std::string lastLine() const;

    // Longest line kept: an image echoed back by a unit that left loader mode has no line ends.
    static constexpr std::size_t kMaxLine = 120;

  private:
    char mainPrompt_ = '#';
    char loaderPrompt_ = '>';
    std::string current_;
    std::string last_;
};

} // namespace brimwell::script
