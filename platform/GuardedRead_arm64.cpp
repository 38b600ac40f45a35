// GuardedViewRead for ARM64, where exception handling is table-driven as on
// x86-64: the unwind information of each function may name a handler that
// the system's dispatcher calls for exceptions raised below that function's
// frame.
//
// GuardedViewRead is written in assembly so that its frame layout is fixed:
// it saves the frame pointer and link register in a 32-byte frame, keeps the
// view's start and size in the frame's upper half, just below the stack
// pointer it was entered with (which the dispatcher hands the handler as the
// establisher frame), calls the reader, and names GuardedViewHandler with the
// address of its epilogue (the recovery point) as handler data. On a read
// fault inside the view the handler calls RtlUnwindEx with that frame and
// recovery point: the system unwinds every frame in between by their own
// unwind information (restoring the callee-saved registers, x19-x28 and
// d8-d15, that they saved), then resumes at the recovery point with the
// stack pointer inside the frame and x0 = 0, so GuardedViewRead returns
// false. Nothing process-wide is registered, nothing is allocated, and every
// other exception is passed on.
#include "GuardedRead.h"
#include "ViewReadFault.h"

#include <windows.h>

#include <cstdint>

extern "C" EXCEPTION_DISPOSITION GuardedViewHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                    CONTEXT*, DISPATCHER_CONTEXT* dispatch) {
    // Also called while unwinding (by the unwind below among others); then,
    // as for any other exception, the search goes on.
    const auto* entrySp = static_cast<const uintptr_t*>(establisherFrame);
    if (!IsReadFaultInView(record, entrySp[-2], entrySp[-1])) return ExceptionContinueSearch;

    const DWORD recovery = *static_cast<const DWORD*>(dispatch->HandlerData);
    RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(dispatch->ImageBase + recovery), record, nullptr,
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes at the recovery point
}

// bool GuardedViewRead(read = x0, context = x1, viewStart = x2, viewSize = x3)
asm(R"(
    .text
    .globl GuardedViewRead
    .def GuardedViewRead; .scl 2; .type 32; .endef
    .p2align 2
    .seh_proc GuardedViewRead
GuardedViewRead:
    stp x29, x30, [sp, #-32]!
    .seh_save_fplr_x 32
    mov x29, sp
    .seh_set_fp
    .seh_endprologue
    stp x2, x3, [sp, #16]
    mov x16, x0
    mov x0, x1
    blr x16
    mov w0, #1
.LGuardedViewReadRecovery:
    .seh_startepilogue
    ldp x29, x30, [sp], #32
    .seh_save_fplr_x 32
    .seh_endepilogue
    ret
    .seh_handler GuardedViewHandler, @except
    .seh_handlerdata
    .rva .LGuardedViewReadRecovery
    .text
    .seh_endproc
)");
