#pragma once
// modGenFunctionsString: filling texts up with blanks, trimming them, and the
// one splitter that every "||" list, dotted address and line list is read with.
#include <string>
#include <string_view>
#include <vector>

namespace modGenFunctionsString {

// Appends blanks until the text is `length` characters long (code points, so
// a name is never padded short by its accents); a longer text is unchanged.
std::string& PadRight(std::string& text, int length);

// `text` without its leading and trailing blanks (only " ": tabs and line
// breaks are kept).
std::string_view trimBlanks(std::string_view text);

// The parts of `text` between occurrences of `separator`: "" gives no part,
// "a||" gives "a" and "", "||a" gives "" and "a". An empty separator gives the
// text whole.
std::vector<std::string> splitText(std::string_view text, std::string_view separator);

}  // namespace modGenFunctionsString
