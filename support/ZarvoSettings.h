// The settings file: every option of the window as name=value lines, and the
// named option sets stored inside it.
#pragma once

#include <string>

#include "support/ZarvoOptions.h"

namespace zarvo {

// Reads the settings file at path into o (keys that are absent leave o's values);
// with a set name, the options of that named set instead. Raises the file's error,
// or "Settings "%s" not found" for a set name the file does not hold.
void LoadOptionsFromSettingsFile(const std::string& path, const std::string& setName, TZarvoOptions& o);

} // namespace zarvo
