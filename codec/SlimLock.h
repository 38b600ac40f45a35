#pragma once
// Holds a slim reader/writer lock for one scope, shared or exclusive: WIC
// callers may use one object from several threads.
#include <windows.h>

namespace codec {

class SharedHold {
public:
    explicit SharedHold(SRWLOCK& l) : lock_(l) { AcquireSRWLockShared(&lock_); }
    ~SharedHold() { ReleaseSRWLockShared(&lock_); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    SRWLOCK& lock_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(SRWLOCK& l) : lock_(l) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveHold() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace codec
