#pragma once
// One block of the process heap, freed when its holder goes.
#include "Platform.h"

#include <cstddef>
#include <utility>

namespace codec {

class HeapBlock {
public:
    HeapBlock() = default;
    ~HeapBlock() { Reset(); }
    HeapBlock(HeapBlock&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    HeapBlock& operator=(HeapBlock&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    // False, with the old block kept, when memory is short.
    bool Allocate(size_t bytes) {
        void* p = HeapAllocChecked(GetProcessHeap(), bytes ? bytes : 1);
        if (!p) return false;
        Reset();
        p_ = p;
        return true;
    }
    void Reset() {
        if (p_) HeapFree(GetProcessHeap(), 0, p_);
        p_ = nullptr;
    }
    void* get() const { return p_; }

private:
    void* p_ = nullptr;
};

}  // namespace codec
