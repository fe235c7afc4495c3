#pragma once
// modGenFunctionsString: filling texts up with blanks, and the one splitter
// that every "||" list, dotted address and line list is read with.
#include <string>
#include <string_view>
#include <vector>

namespace modGenFunctionsString {

// Appends blanks until the text is `length` characters long (code points, so
// a name is never padded short by its accents); a longer text is unchanged.
std::string& PadRight(std::string& text, int length);

// The parts of `text` between occurrences of `separator`, as the language's
// Split gives them: "" gives no part, "a||" gives "a" and "". An empty
// separator gives the text whole.
std::vector<std::string> splitText(std::string_view text, std::string_view separator);

}  // namespace modGenFunctionsString
