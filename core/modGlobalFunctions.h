#pragma once
// modGlobalFunctions: procedures of the messaging core that every subsystem
// calls. This file holds the row templates of the record classes.
#include <cstdint>
#include <string>

namespace modGlobalFunctions {

// The text of an empty row: "<", elementName, " ", then "NAME='' " for each
// field of classType from 0 up to the first unused one, and "/>";
// ("G", 1) gives <G UID='' N='' />. Raises 9 for a class outside 0..12.
std::string BuildXMLTemplate(const std::string& elementName, int32_t classType);

}  // namespace modGlobalFunctions
