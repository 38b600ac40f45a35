// GuardedViewRead for x86-64, where exception handling is table-driven: the
// unwind information of each function may name a handler that the system's
// dispatcher calls for exceptions raised below that function's frame.
//
// GuardedViewRead is written in assembly so that its frame layout is fixed:
// it keeps the view's start and size at [frame + 32] and [frame + 40], calls
// the reader, and names GuardedViewHandler with the address of its own last
// two instructions (the recovery point) as handler data. On a read fault
// inside the view the handler calls RtlUnwindEx with that frame and recovery
// point: the system unwinds every frame in between by their own unwind
// information (restoring the callee-saved registers, XMM6-15 included, that
// they saved), then resumes at the recovery point with RSP at the frame and
// RAX = 0, so GuardedViewRead returns false. Nothing process-wide is
// registered, nothing is allocated, and every other exception is passed on.
#include "GuardedRead.h"
#include "ViewReadFault.h"

#include <windows.h>

#include <cstdint>

extern "C" EXCEPTION_DISPOSITION GuardedViewHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                    CONTEXT*, DISPATCHER_CONTEXT* dispatch) {
    // Also called while unwinding (by the unwind below among others); then,
    // as for any other exception, the search goes on.
    const auto* frame = static_cast<const uintptr_t*>(establisherFrame);
    if (!IsReadFaultInView(record, frame[4], frame[5])) return ExceptionContinueSearch;

    const DWORD recovery = *static_cast<const DWORD*>(dispatch->HandlerData);
    RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(dispatch->ImageBase + recovery), record, nullptr,
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes at the recovery point
}

// bool GuardedViewRead(read = rcx, context = rdx, viewStart = r8, viewSize = r9)
asm(R"(
    .text
    .globl GuardedViewRead
    .def GuardedViewRead; .scl 2; .type 32; .endef
    .seh_proc GuardedViewRead
GuardedViewRead:
    subq $56, %rsp
    .seh_stackalloc 56
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %r9, 40(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl $1, %eax
.LGuardedViewReadRecovery:
    addq $56, %rsp
    retq
    .seh_handler GuardedViewHandler, @except
    .seh_handlerdata
    .rva .LGuardedViewReadRecovery
    .text
    .seh_endproc
)");
