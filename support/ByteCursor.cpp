#include "support/ByteCursor.h"

#include "support/ZarvoText.h"

namespace zarvo {

void TByteCursor::Fail() const {
    throw Exception(FMessage);
}

} // namespace zarvo
