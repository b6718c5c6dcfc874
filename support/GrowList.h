// A growable array with the system's growth rule and index checks, shared by the
// address and integer lists.
#pragma once

#include <cstdint>
#include <vector>

#include "support/ZarvoText.h"

namespace zarvo {

// Capacity grows by a quarter above 64, by 16 from 9 to 64, by 4 up to 8.
inline int32_t GrowDelta(int32_t capacity) {
    if (capacity > 64) return capacity / 4;
    if (capacity > 8) return 16;
    return 4;
}

template <typename T, typename E> class TGrowList {
public:
    int32_t Count() const { return FCount; }
    int32_t Capacity() const { return FCapacity; }

    int32_t Add(const T& value) {
        if (FCount == FCapacity) Grow();
        FList[static_cast<size_t>(FCount)] = value;
        return FCount++;
    }

    void Insert(int32_t index, const T& value) {
        if (index < 0 || index > FCount) Error(index);
        if (FCount == FCapacity) Grow();
        for (size_t i = static_cast<size_t>(FCount); i > static_cast<size_t>(index); --i)
            FList[i] = FList[i - 1];
        FList[static_cast<size_t>(index)] = value;
        ++FCount;
    }

    void Delete(int32_t index) {
        Check(index);
        for (size_t i = static_cast<size_t>(index); i + 1 < static_cast<size_t>(FCount); ++i)
            FList[i] = FList[i + 1];
        --FCount;
    }

    void Clear() {
        FCount = 0;
        FCapacity = 0;
        std::vector<T>().swap(FList);
    }

    void SetCapacity(int32_t capacity) {
        if (capacity < FCount) throw E(Format("List capacity out of bounds (%d)", capacity));
        FList.resize(static_cast<size_t>(capacity));
        FCapacity = capacity;
    }

    const T& Get(int32_t index) const {
        Check(index);
        return FList[static_cast<size_t>(index)];
    }
    void Set(int32_t index, const T& value) {
        Check(index);
        FList[static_cast<size_t>(index)] = value;
    }
    // Unchecked access for loops that already know their bounds.
    const T* Data() const { return FList.data(); }

protected:
    void Check(int32_t index) const {
        if (index < 0 || index >= FCount) Error(index);
    }
    [[noreturn]] static void Error(int32_t index) { throw E(Format("List index out of bounds (%d)", index)); }
    void Grow() {
        // The rule's last step would overflow near 2^31 items; cap there instead.
        const int64_t next = static_cast<int64_t>(FCapacity) + GrowDelta(FCapacity);
        if (next > INT32_MAX) throw E(Format("List capacity out of bounds (%d)", FCapacity));
        SetCapacity(static_cast<int32_t>(next));
    }

    std::vector<T> FList;
    int32_t FCount = 0;
    int32_t FCapacity = 0;
};

} // namespace zarvo
