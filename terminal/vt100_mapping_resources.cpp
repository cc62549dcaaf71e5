// Loading the mappings from the program's compiled-in resources (kept apart from the tables so the
// build step that makes those resources can use the tables without them).
#include "terminal/vt100_mappings.h"

namespace brimwell::terminal {

bool KeyboardMapping::loadFromRes(std::string_view resourceName) {
    return loadFromBin(findMappingResource(resourceName));
}

bool CharSetMapping::loadFromRes(std::string_view resourceName) {
    return loadFromBin(findMappingResource(resourceName));
}

} // namespace brimwell::terminal
