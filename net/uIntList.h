// A growable list of signed 32-bit integers.
#pragma once

#include "support/GrowList.h"

namespace zarvo {

class EIntListError : public Exception {
public:
    using Exception::Exception;
};

class TIntList : public TGrowList<int32_t, EIntListError> {
public:
    int32_t GetValue(int32_t index) const { return Get(index); }
    void SetValue(int32_t index, int32_t value) { Set(index, value); }
    int32_t operator[](int32_t index) const { return Get(index); }
};

} // namespace zarvo
