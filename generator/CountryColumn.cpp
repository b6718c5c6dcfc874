#include "generator/ZarvoUtilsUnit.h"

namespace zarvo {

std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string&) {
    throw Exception("Resolving IP countries is not available in this build");
}

} // namespace zarvo
