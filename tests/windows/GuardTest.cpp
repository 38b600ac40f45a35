// The guarded read of the mapped view and the stack protector's failure path,
// built for both bitnesses: each processor has its own body of the guard.
#include "ChildProcess.h"
#include "GuardedRead.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Reads the first byte of the page at `context`.
void ReadByte(void* context) {
    static_cast<volatile uint8_t*>(context)[0];
}

// Two pages, the second unreadable.
struct TwoPages {
    TwoPages() : base(static_cast<uint8_t*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
        DWORD old = 0;
        VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old);
    }
    ~TwoPages() { VirtualFree(base, 0, MEM_RELEASE); }
    uint8_t* base;
};

}  // namespace

TEST(GuardedViewRead, OnlyReadFaultsInsideTheViewEndTheRead) {
    TwoPages pages;
    ASSERT_NE(pages.base, nullptr);
    // A view of the two pages, or of the first alone.
    EXPECT_TRUE(GuardedViewRead(ReadByte, pages.base, pages.base, 8192)) << "a readable page";
    EXPECT_FALSE(GuardedViewRead(ReadByte, pages.base + 4096, pages.base, 8192)) << "a fault inside the view";
    EXPECT_FALSE(GuardedViewRead(ReadByte, pages.base + 8191, pages.base, 8192)) << "its last byte";
}

// A fault just past the view is a bug: this program must die of it. (Apart
// from the test above: under qemu-aarch64, Wine hangs in a process dying of
// an unhandled fault, so the ARM64 run leaves this one out.)
TEST(GuardedViewRead, AFaultPastTheViewKillsTheProcess) {
    const auto child = wintest::RunProgram(
        wintest::ProgramPath(), {L"--gtest_also_run_disabled_tests", L"--gtest_catch_exceptions=0",
                                 L"--gtest_filter=GuardedViewRead.DISABLED_FaultPastTheViewKillsTheProcess"});
    EXPECT_EQ(child.exitCode, DWORD(EXCEPTION_ACCESS_VIOLATION)) << child.output;
}

// Run only as the child above: reading the unreadable page through a view
// that ends before it.
TEST(GuardedViewRead, DISABLED_FaultPastTheViewKillsTheProcess) {
    SetErrorMode(SEM_NOGPFAULTERRORBOX);  // no debugger, just the exit code
    TwoPages pages;
    GuardedViewRead(ReadByte, pages.base + 4096, pages.base, 4096);
    ADD_FAILURE() << "the fault was swallowed";
}

namespace {

// A fault raised in software with the record the system gives a hardware one:
// the same dispatch through the guard's handler, also where an emulated
// 32-bit Wine cannot report real faults (see scripts/wine-env.sh).
struct RaisedFault {
    DWORD code;
    ULONG_PTR access;  // 0 read, 1 write
    const uint8_t* address;
};

void Raise(void* context) {
    const auto* fault = static_cast<const RaisedFault*>(context);
    const ULONG_PTR information[2] = {fault->access, ULONG_PTR(fault->address)};
    RaiseException(fault->code, 0, 2, information);
}

// What the guard passed on reaches this filter, which lets the raised fault
// continue: the read then returns as if nothing happened.
int g_passedOn = 0;
LONG WINAPI CountAndContinue(EXCEPTION_POINTERS*) {
    ++g_passedOn;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

TEST(GuardedViewRead, RaisedFaultsEndTheReadOnlyWhenTheyAreReadsInsideTheView) {
    // A view of 64 bytes with a byte of memory on either side.
    uint8_t memory[66] = {};
    const uint8_t* const view = memory + 1;
    const struct {
        const char* what;
        RaisedFault fault;
        bool caught;
    } cases[] = {
        {"access violation, read, first byte", {EXCEPTION_ACCESS_VIOLATION, 0, view}, true},
        {"in-page error, read, last byte", {EXCEPTION_IN_PAGE_ERROR, 0, view + 63}, true},
        {"read just past the view", {EXCEPTION_ACCESS_VIOLATION, 0, view + 64}, false},
        {"read just before the view", {EXCEPTION_ACCESS_VIOLATION, 0, view - 1}, false},
        {"write inside the view", {EXCEPTION_ACCESS_VIOLATION, 1, view + 8}, false},
        {"another exception", {EXCEPTION_INT_DIVIDE_BY_ZERO, 0, view + 8}, false},
    };
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(CountAndContinue);
    for (const auto& c : cases) {
        g_passedOn = 0;
        RaisedFault fault = c.fault;
        // Run twice: the record must be off the chain after either ending.
        for (int round = 0; round < 2; ++round)
            EXPECT_EQ(GuardedViewRead(Raise, &fault, view, 64), !c.caught) << c.what;
        EXPECT_EQ(g_passedOn, c.caught ? 0 : 2) << c.what;
    }
    SetUnhandledExceptionFilter(previous);
}

// The stack protector's failure path, as a smashed canary in the module
// reaches it: the process ends at once with the system's own status.
TEST(StackProtector, AFailedCheckEndsTheProcess) {
    const auto child = wintest::RunProgram(
        wintest::ProgramPath(), {L"--gtest_also_run_disabled_tests", L"--gtest_catch_exceptions=0",
                                 L"--gtest_filter=StackProtector.DISABLED_FailedCheck"});
    EXPECT_EQ(child.exitCode, DWORD(0xC0000409)) << child.output;  // STATUS_STACK_BUFFER_OVERRUN
}

extern "C" [[noreturn]] void __stack_chk_fail();

TEST(StackProtector, DISABLED_FailedCheck) {
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    __stack_chk_fail();
}
