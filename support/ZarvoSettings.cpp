#include "support/ZarvoSettings.h"

namespace zarvo {

void LoadOptionsFromSettingsFile(const std::string&, const std::string&, TZarvoOptions&) {
    throw Exception("Reading settings files is not available in this build");
}

} // namespace zarvo
