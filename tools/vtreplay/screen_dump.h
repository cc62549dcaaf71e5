// What brimwell-vtreplay and the reference dumper of the conformance test share: their command line,
// reading the stream, and the text form of a screen (rows, cursor, attribute runs), so that both
// print a screen the same way and only where the screen comes from differs.
#pragma once

#include "terminal/vt100_glyphs.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>

namespace brimwell::dump {

struct Options {
    int rows = 24, cols = 80;
    bool tty = false;
    const char* file = nullptr; // "-": standard input
};

// [--rows R] [--cols C] [--tty] FILE; false on anything else or sizes out of range.
inline bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rows") && i + 1 < argc)
            o.rows = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--cols") && i + 1 < argc)
            o.cols = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--tty"))
            o.tty = true;
        else if (!o.file)
            o.file = argv[i];
        else
            return false;
    }
    return o.file && o.rows >= 2 && o.cols >= 2 && o.rows <= 10000 && o.cols <= 1000;
}

inline bool readInput(const char* file, std::string& data) {
    if (!std::strcmp(file, "-")) {
        data.assign(std::istreambuf_iterator<char>(std::cin), {});
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

// "R|text" for each row, trailing blanks trimmed; glyph(r, c) gives the character of a cell (0-based).
inline void appendRows(std::string& out, int rows, int cols, const std::function<char32_t(int, int)>& glyph) {
    for (int r = 0; r < rows; ++r) {
        std::string line;
        std::size_t keep = 0;
        for (int c = 0; c < cols; ++c) {
            const char32_t u = glyph(r, c);
            terminal::appendUtf8(line, u);
            if (u != U' ') keep = line.size();
        }
        line.resize(keep);
        out += std::to_string(r + 1) + "|" + line + "\n";
    }
}

// "attr R,C-C2 NAMES" for each run of cells whose look names(r, c) (0-based) is not empty.
inline void appendAttrRuns(std::string& out, int rows, int cols,
                           const std::function<std::string(int, int)>& names) {
    for (int r = 0; r < rows; ++r) {
        int start = 0;
        std::string run;
        for (int c = 0; c <= cols; ++c) {
            const std::string now = c < cols ? names(r, c) : std::string();
            if (c > 0 && now != run && !run.empty())
                out += "attr " + std::to_string(r + 1) + "," + std::to_string(start + 1) + "-" +
                       std::to_string(c) + " " + run + "\n";
            if (c == 0 || now != run) start = c;
            run = now;
        }
    }
}

} // namespace brimwell::dump
