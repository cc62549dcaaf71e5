// Where the simulator keeps the images it received: one file per load, named after its address and version.
#pragma once

#include "tools/unit-sim/unit.h"

#include <string>
#include <vector>

namespace brimwell::unitsim {

// File name for a load: KEYWORD_ADDRESS_VERSION.bin with every character outside [A-Za-z0-9._-]
// replaced by '-' (a date version such as 7/4/2003_9:05:08 holds '/' and ':').
std::string imageFileName(const LoadRecord& r);

// Writes the image into dir (created if missing) through a temporary file and a rename, so a reader
// never sees half an image; the temporary file is created afresh, never through a link. Returns the path, or
// an empty string with the reason in `error`.
std::string storeImage(const std::string& dir, const LoadRecord& r, const std::vector<uint8_t>& image,
                       std::string& error);

// What the simulator reports for a finished load, storing the image first when `dir` is not empty:
// "STORED path facts", "RECEIVED - facts" (no store), "LOAD-ERROR why facts" or "STORE-ERROR why facts".
std::string loadReport(const LoadRecord& r, const std::vector<uint8_t>& image, const std::string& dir,
                       const std::string& source);

} // namespace brimwell::unitsim
