#pragma once
// A copy of some bytes placed so that the last byte sits right before an
// inaccessible page: any read past the end faults at once.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace timtest {

class GuardedBuffer {
public:
    explicit GuardedBuffer(const std::vector<uint8_t>& bytes) : size_(bytes.size()) {
        const size_t page = PageSize();
        dataPages_ = (size_ + page - 1) / page * page;
        mappedSize_ = dataPages_ + page;
#ifdef _WIN32
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, mappedSize_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        if (!base_ || !VirtualProtect(base_ + dataPages_, page, PAGE_NOACCESS, &old)) std::abort();
#else
        void* base = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t*>(base);
        if (mprotect(base_ + dataPages_, page, PROT_NONE) != 0) std::abort();
#endif
        data_ = base_ + dataPages_ - size_;
        if (size_) std::memcpy(data_, bytes.data(), size_);
    }
#ifdef _WIN32
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
#else
    ~GuardedBuffer() { munmap(base_, mappedSize_); }
#endif
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* begin() const { return data_; }
    const uint8_t* end() const { return data_ + size_; }
    size_t size() const { return size_; }

private:
    static size_t PageSize() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#else
        return size_t(sysconf(_SC_PAGESIZE));
#endif
    }

    size_t size_;
    size_t dataPages_ = 0;
    size_t mappedSize_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
};

}  // namespace timtest
