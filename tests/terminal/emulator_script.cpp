// The runner of the buffer and emulator test scripts (see the header for the language).
#include "tests/terminal/emulator_script.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace brimwell::test {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

std::vector<Token> tokenize(const std::string& line) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            std::string raw;
            ++i;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size()) raw += line[i++];
                raw += line[i++];
            }
            ++i;
            out.push_back({unescape(raw), true});
            continue;
        }
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t')
            ++j;
        out.push_back({line.substr(i, j - i), false});
        i = j;
    }
    return out;
}

long long number(const std::string& s) {
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (end == s.c_str() || *end != '\0') throw std::invalid_argument("not a number: " + s);
    return v;
}

std::vector<long long> numbers(const std::string& s) {
    std::vector<long long> out;
    std::stringstream ss(s);
    std::string part;
    while (std::getline(ss, part, ','))
        out.push_back(number(part));
    return out;
}

using Args = std::vector<long long>;
using BufferOp = std::function<void(terminal::TerminalBuffer&, const Args&)>;

long long arg(const Args& a, size_t i) {
    if (i >= a.size()) throw std::invalid_argument("missing argument");
    return a[i];
}

const std::map<std::string, BufferOp>& operations() {
    static const std::map<std::string, BufferOp> ops = {
        {"WriteChar", [](auto& b, auto& a) { b.writeChar(static_cast<std::uint16_t>(arg(a, 0))); }},
        {"DoCarriageReturn", [](auto& b, auto&) { b.doCarriageReturn(); }},
        {"DoLineFeed", [](auto& b, auto&) { b.doLineFeed(); }},
        {"DoBackspace", [](auto& b, auto&) { b.doBackspace(); }},
        {"DoHorzTab", [](auto& b, auto&) { b.doHorzTab(); }},
        {"DoBackHorzTab", [](auto& b, auto&) { b.doBackHorzTab(); }},
        {"DoVertTab", [](auto& b, auto&) { b.doVertTab(); }},
        {"DoBackVertTab", [](auto& b, auto&) { b.doBackVertTab(); }},
        {"MoveCursorUp", [](auto& b, auto& a) { b.moveCursorUp(arg(a, 0)); }},
        {"MoveCursorDown", [](auto& b, auto& a) { b.moveCursorDown(arg(a, 0)); }},
        {"MoveCursorLeft", [](auto& b, auto& a) { b.moveCursorLeft(arg(a, 0), arg(a, 1)); }},
        {"MoveCursorRight", [](auto& b, auto& a) { b.moveCursorRight(arg(a, 0), arg(a, 1)); }},
        {"SetCursorPosition", [](auto& b, auto& a) { b.setCursorPosition(arg(a, 0), arg(a, 1)); }},
        {"SetScrollRegion", [](auto& b, auto& a) { b.setScrollRegion(arg(a, 0), arg(a, 1)); }},
        {"InsertChars", [](auto& b, auto& a) { b.insertChars(arg(a, 0)); }},
        {"DeleteChars", [](auto& b, auto& a) { b.deleteChars(arg(a, 0)); }},
        {"InsertLines", [](auto& b, auto& a) { b.insertLines(arg(a, 0)); }},
        {"DeleteLines", [](auto& b, auto& a) { b.deleteLines(arg(a, 0)); }},
        {"EraseChars", [](auto& b, auto& a) { b.eraseChars(arg(a, 0)); }},
        {"EraseToEOL", [](auto& b, auto&) { b.eraseToEol(); }},
        {"EraseFromBOL", [](auto& b, auto&) { b.eraseFromBol(); }},
        {"EraseLine", [](auto& b, auto&) { b.eraseLine(); }},
        {"EraseToEOW", [](auto& b, auto&) { b.eraseToEow(); }},
        {"EraseFromBOW", [](auto& b, auto&) { b.eraseFromBow(); }},
        {"EraseScreen", [](auto& b, auto&) { b.eraseScreen(); }},
        {"EraseAll", [](auto& b, auto&) { b.eraseAll(); }},
        {"StartFreshLine", [](auto& b, auto&) { b.startFreshLine(); }},
        {"Reset", [](auto& b, auto&) { b.Reset(); }},
        {"SetHorzTabStop", [](auto& b, auto&) { b.setHorzTabStop(); }},
        {"ClearHorzTabStop", [](auto& b, auto&) { b.clearHorzTabStop(); }},
        {"ClearAllHorzTabStops", [](auto& b, auto&) { b.clearAllHorzTabStops(); }},
        {"SetVertTabStop", [](auto& b, auto&) { b.setVertTabStop(); }},
        {"ClearVertTabStop", [](auto& b, auto&) { b.clearVertTabStop(); }},
        {"ClearAllVertTabStops", [](auto& b, auto&) { b.clearAllVertTabStops(); }},
    };
    return ops;
}

struct Property {
    std::function<void(terminal::TerminalBuffer&, long long)> set;
    std::function<long long(terminal::TerminalBuffer&)> get;
};

const std::map<std::string, Property>& properties() {
    using B = terminal::TerminalBuffer;
    static const std::map<std::string, Property> props = {
        {"ColCount", {[](B& b, long long v) { b.setColCount(int(v)); }, [](B& b) { return b.colCount(); }}},
        {"RowCount", {[](B& b, long long v) { b.setRowCount(int(v)); }, [](B& b) { return b.rowCount(); }}},
        {"SVRowCount",
         {[](B& b, long long v) { b.setSvRowCount(int(v)); }, [](B& b) { return b.svRowCount(); }}},
        {"Col", {[](B& b, long long v) { b.setCursorCol(int(v)); }, [](B& b) { return b.cursorCol(); }}},
        {"Row", {[](B& b, long long v) { b.setCursorRow(int(v)); }, [](B& b) { return b.cursorRow(); }}},
        {"OriginRow", {nullptr, [](B& b) { return b.originRow(); }}},
        {"OriginCol", {nullptr, [](B& b) { return b.originCol(); }}},
        {"BackColor",
         {[](B& b, long long v) { b.setBackColor(terminal::Color(v)); }, [](B& b) { return b.backColor(); }}},
        {"ForeColor",
         {[](B& b, long long v) { b.setForeColor(terminal::Color(v)); }, [](B& b) { return b.foreColor(); }}},
        {"DefBackColor",
         {[](B& b, long long v) { b.setDefBackColor(terminal::Color(v)); },
          [](B& b) { return b.defBackColor(); }}},
        {"DefForeColor",
         {[](B& b, long long v) { b.setDefForeColor(terminal::Color(v)); },
          [](B& b) { return b.defForeColor(); }}},
        {"CharSet",
         {[](B& b, long long v) { b.setCharSet(std::uint8_t(v)); }, [](B& b) { return b.charSet(); }}},
        {"DefAnsiChar",
         {[](B& b, long long v) { b.setDefAnsiChar(std::uint16_t(v)); },
          [](B& b) { return b.defAnsiChar(); }}},
        {"CharAttrs",
         {[](B& b, long long v) { b.setCharAttrs(terminal::CharAttrs(v)); },
          [](B& b) { return b.getCharAttrs(); }}},
        {"UseAbsAddress",
         {[](B& b, long long v) { b.setUseAbsAddress(v); }, [](B& b) { return b.useAbsAddress(); }}},
        {"UseAutoWrap",
         {[](B& b, long long v) { b.setUseAutoWrap(v); }, [](B& b) { return b.useAutoWrap(); }}},
        {"UseAutoWrapDelay",
         {[](B& b, long long v) { b.setUseAutoWrapDelay(v); }, [](B& b) { return b.useAutoWrapDelay(); }}},
        {"UseInsertMode",
         {[](B& b, long long v) { b.setUseInsertMode(v); }, [](B& b) { return b.useInsertMode(); }}},
        {"UseNewLineMode",
         {[](B& b, long long v) { b.setUseNewLineMode(v); }, [](B& b) { return b.useNewLineMode(); }}},
        {"UseScrollRegion",
         {[](B& b, long long v) { b.setUseScrollRegion(v); }, [](B& b) { return b.useScrollRegion(); }}},
    };
    return props;
}

const std::map<std::string, terminal::EmuCommand>& commandNames() {
    static const std::map<std::string, terminal::EmuCommand> names = [] {
        // clang-format off
        static const char* const kNames[terminal::kEmuCommandCount] = {
            "ecNone", "ecBell", "ecBackspace", "ecTabHorz", "ecLF", "ecCR", "ecBackTabHorz", "ecCursorDown",
            "ecCursorLeft", "ecCursorRight", "ecCursorUp", "ecCursorPos", "ecDeleteChars", "ecDeleteLines",
            "ecInsertChars", "ecInsertLines", "ecEraseAll", "ecEraseChars", "ecEraseFromBOW",
            "ecEraseFromBOL", "ecEraseLine", "ecEraseScreen", "ecEraseToEOL", "ecEraseToEOW",
            "ecSetHorzTabStop", "ecClearHorzTabStop", "ecClearVertTabStop", "ecClearAllHorzTabStops",
            "ecSetVertTabStop", "ecClearAllVertTabStops", "ecSetScrollRegion", "ecTabVert", "ecBackTabVert",
            "ecBackColor", "ecForeColor", "ecAbsAddress", "ecNoAbsAddress", "ecAutoWrap", "ecNoAutoWrap",
            "ecAutoWrapDelay", "ecNoAutoWrapDelay", "ecInsertMode", "ecNoInsertMode", "ecNewLineMode",
            "ecNoNewLineMode", "ecScrollRegion", "ecNoScrollRegion", "ecSetCharAttr", "ecAddBold",
            "ecBoldOnly", "ecRemoveBold", "ecInvertBold", "ecAddUnderLine", "ecUnderlineOnly",
            "ecRemoveUnderline", "ecInvertUnderline", "ecAddStrikethrough", "ecStrikethroughOnly",
            "ecRemoveStrikethrough", "ecInvertStrikethrough", "ecAddBlink", "ecBlinkOnly", "ecRemoveBlink",
            "ecInvertBlink", "ecAddReverse", "ecReverseOnly", "ecRemoveReverse", "ecInvertReverse",
            "ecAddInvisible", "ecInvisibleOnly", "ecRemoveInvisible", "ecInvertInvisible", "ecAddSelected",
            "ecRemoveSelected", "ecSelectedOnly", "ecInvertSelected", "ecRemoveAllAttr",
            "ecRemoveAllAttrIgnoreSelect", "ecClearAndHome", "ecHome", "ecCursorEOL", "ecCursorBOL",
            "ecCursorTop", "ecCursorBottom", "ecWriteString", "ecColor", "ecSaveCursorPos",
            "ecRestoreCursorPos", "ecDeviceAttributesReport", "ecNEL", "ecReset", "ecAnswerback", "ecDECALN",
            "ecDeviceStatusReport"
        };
        // clang-format on
        std::map<std::string, terminal::EmuCommand> m;
        for (int i = 0; i < terminal::kEmuCommandCount; ++i)
            m[kNames[i]] = static_cast<terminal::EmuCommand>(i);
        return m;
    }();
    return names;
}

std::string rowText(terminal::TerminalBuffer& b, int row) {
    const char* p = b.getLineCharPtr(row);
    if (!p) return "<no row " + std::to_string(row) + ">";
    std::string s(p, static_cast<size_t>(b.colCount()));
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string hex(long long v) {
    std::ostringstream o;
    o << "0x" << std::hex << std::uppercase << v;
    return o.str();
}

// Runs one step; returns a failure text or "".
std::string runStep(terminal::TerminalEmulator& emu, const std::vector<Token>& t) {
    terminal::TerminalBuffer& b = *emu.buffer();
    const std::string& verb = t[0].text;
    auto need = [&](size_t n) {
        if (t.size() < n) throw std::invalid_argument("too few words for " + verb);
    };
    if (verb == "push") {
        need(2);
        emu.processBlock(t[1].text.data(), static_cast<int>(t[1].text.size()), terminal::CharSource::Port);
    } else if (verb == "pushrep") {
        need(3);
        std::string data;
        for (long long i = number(t[1].text); i > 0; --i)
            data += t[2].text;
        emu.processBlock(data.data(), static_cast<int>(data.size()), terminal::CharSource::Port);
    } else if (verb == "pushlines") {
        need(3);
        std::string data;
        for (long long i = number(t[1].text); i <= number(t[2].text); ++i)
            data += "L" + std::to_string(i) + "\r\n";
        emu.processBlock(data.data(), static_cast<int>(data.size()), terminal::CharSource::Port);
    } else if (verb == "do") {
        need(2);
        auto it = operations().find(t[1].text);
        if (it == operations().end()) throw std::invalid_argument("unknown operation " + t[1].text);
        Args a;
        for (size_t i = 2; i < t.size(); ++i)
            a.push_back(number(t[i].text));
        it->second(b, a);
    } else if (verb == "set" || verb == "get") {
        need(3);
        auto it = properties().find(t[1].text);
        if (it == properties().end()) throw std::invalid_argument("unknown property " + t[1].text);
        long long v = number(t[2].text);
        if (verb == "set") {
            it->second.set(b, v);
        } else if (long long got = it->second.get(b); got != v) {
            return t[1].text + " is " + std::to_string(got) + ", expected " + std::to_string(v);
        }
    } else if (verb == "cmd") {
        need(2);
        auto it = commandNames().find(t[1].text);
        if (it == commandNames().end()) throw std::invalid_argument("unknown command " + t[1].text);
        if (t.size() == 2) {
            emu.processCommand(it->second);
        } else {
            terminal::EmuCommandParams p;
            for (size_t i = 2; i < t.size(); ++i) {
                auto eq = t[i].quoted ? std::string::npos : t[i].text.find('=');
                if (eq == std::string::npos)
                    p.addStringArg(t[i].text);
                else
                    p.addNamedStringArg(t[i].text.substr(0, eq), t[i].text.substr(eq + 1));
            }
            emu.processCommand(it->second, &p);
        }
    } else if (verb == "raises") {
        need(3);
        std::vector<Token> rest(t.begin() + 2, t.end());
        try {
            runStep(emu, rest);
        } catch (const terminal::TerminalBufferError& e) {
            if (e.what() != t[1].text)
                return std::string("raised \"") + e.what() + "\", expected \"" + t[1].text + "\"";
            return "";
        }
        return "did not raise \"" + t[1].text + "\"";
    } else if (verb == "rows") {
        for (size_t i = 1; i + 1 < t.size(); i += 2) {
            int row = static_cast<int>(number(t[i].text));
            std::string got = rowText(b, row);
            if (got != t[i + 1].text)
                return "row " + t[i].text + " is \"" + got + "\", expected \"" + t[i + 1].text + "\"";
        }
    } else if (verb == "cursor") {
        need(2);
        auto rc = numbers(t[1].text);
        if (b.cursorRow() != rc.at(0) || b.cursorCol() != rc.at(1))
            return "cursor at " + std::to_string(b.cursorRow()) + "," + std::to_string(b.cursorCol()) +
                   ", expected " + t[1].text;
    } else if (verb == "wrap") {
        need(2);
        if (b.wrapPending() != (number(t[1].text) != 0))
            return std::string("wrap pending is ") + (b.wrapPending() ? "1" : "0");
    } else if (verb == "attr" || verb == "fore" || verb == "back" || verb == "char") {
        need(3);
        auto rc = numbers(t[1].text);
        int row = static_cast<int>(rc.at(0));
        int col = static_cast<int>(rc.at(1));
        if (col < 1 || col > b.colCount() || !b.getLineAttrPtr(row)) return "no cell " + t[1].text;
        long long got = verb == "attr"   ? b.getLineAttrPtr(row)[col - 1]
                        : verb == "fore" ? b.getLineForeColorPtr(row)[col - 1]
                        : verb == "back" ? b.getLineBackColorPtr(row)[col - 1]
                                         : static_cast<std::uint8_t>(b.getLineCharPtr(row)[col - 1]);
        long long want = t[2].quoted ? static_cast<std::uint8_t>(t[2].text.at(0)) : number(t[2].text);
        if (got != want) return verb + " of " + t[1].text + " is " + hex(got) + ", expected " + hex(want);
    } else if (verb == "invalid") {
        need(2);
        terminal::TermRect r;
        bool any = b.getInvalidRect(r);
        if (t[1].text == "none") {
            if (any)
                return "invalid " + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                       std::to_string(r.right) + "," + std::to_string(r.bottom) + ", expected none";
        } else {
            auto v = numbers(t[1].text);
            terminal::TermRect want{int(v.at(0)), int(v.at(1)), int(v.at(2)), int(v.at(3))};
            if (!any) return "nothing invalid, expected " + t[1].text;
            if (!(r == want))
                return "invalid " + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                       std::to_string(r.right) + "," + std::to_string(r.bottom) + ", expected " + t[1].text;
        }
    } else {
        throw std::invalid_argument("unknown step " + verb);
    }
    return "";
}

} // namespace

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        switch (c) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += '\b';
            break;
        case 'a':
            out += '\a';
            break;
        case 'e':
            out += '\x1b';
            break;
        case '0':
            out += '\0';
            break;
        case 'x': {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        }
        default:
            out += c;
            break; // \\ and \"
        }
    }
    return out;
}

std::string runEmulatorScript(terminal::TerminalEmulator& emu, const std::string& script) {
    std::istringstream in(script);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        auto tokens = tokenize(line);
        if (tokens.empty() || tokens[0].text.starts_with("#")) continue;
        std::string failure;
        try {
            failure = runStep(emu, tokens);
        } catch (const terminal::TerminalBufferError& e) {
            failure = std::string("unexpected error: ") + e.what();
        } catch (const std::exception& e) {
            failure = std::string("bad script: ") + e.what();
        }
        if (!failure.empty()) return "line " + std::to_string(lineNo) + " (" + line + "): " + failure;
    }
    return "";
}

} // namespace brimwell::test
