// Loading the mappings from the program's compiled-in resources (kept apart from the tables so the
// build step that makes those resources can use the tables without them).
#include "terminal/vt100_mappings.h"

namespace brimwell {

bool TQuavKeyboardMapping::LoadFromRes(std::string_view resourceName) {
    return LoadFromBin(FindMappingResource(resourceName));
}

bool TQuavCharSetMapping::LoadFromRes(std::string_view resourceName) {
    return LoadFromBin(FindMappingResource(resourceName));
}

} // namespace brimwell
