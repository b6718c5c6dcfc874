// Writing a list of lines to a text file, as "Save to file" does.
#pragma once

#include <string>
#include <string_view>

#include "support/StringList.h"

namespace zarvo {

// The list delimiter chosen by position: 1 gives ",", 2 gives ";", anything else CR LF.
std::string ListDelimiter(int itemIndex);

// Creates or replaces the file and writes the lines (UTF-8, no byte-order mark)
// with the delimiter between them and nothing after the last one. Raises
// "Cannot create file "NAME". REASON" when the file cannot be created or written.
void SaveListToFile(const TStringList& lines, const std::string& fileName, std::string_view delimiter);

} // namespace zarvo
