// GuardedViewRead for ARM64, where exception handling is table-driven as on
// x86-64: the unwind information of each function may name a handler that
// the system's dispatcher calls for exceptions raised below that function's
// frame.
//
// GuardedViewRead is written in assembly so that its frame layout is fixed:
// it saves the frame pointer, the link register and every callee-saved
// register (x19-x28, d8-d15) in a 176-byte frame, keeps the view's start and
// size at its top, just below the stack pointer it was entered with (which
// the dispatcher hands the handler as the establisher frame), calls the
// reader, and names GuardedViewHandler with the address of its exit (the
// recovery point) as handler data. On a read fault inside the view the
// handler points the faulting context at the recovery point, with the stack
// pointer back at the frame and x0 = 0, and has the system continue there:
// the exit restores every callee-saved register from the frame, whatever the
// reader left in them, and GuardedViewRead returns false. The reader's frames
// in between are abandoned, as on x86, rather than unwound one by one
// (Wine's ARM64 unwinder cannot walk back from the dispatcher through a
// hardware fault's frame). Nothing process-wide is registered, nothing is
// allocated, and every other exception is passed on.
#include "GuardedRead.h"
#include "ViewReadFault.h"

#include <windows.h>

#include <cstdint>

namespace {

constexpr uintptr_t kFrameBytes = 176;

}  // namespace

extern "C" EXCEPTION_DISPOSITION GuardedViewHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                    CONTEXT* context, DISPATCHER_CONTEXT* dispatch) {
    // Also called while unwinding; then, as for any other exception, the
    // search goes on.
    const auto* entrySp = static_cast<const uintptr_t*>(establisherFrame);
    if (!IsReadFaultInView(record, entrySp[-2], entrySp[-1])) return ExceptionContinueSearch;

    const DWORD recovery = *static_cast<const DWORD*>(dispatch->HandlerData);
    context->Pc = dispatch->ImageBase + recovery;
    context->Sp = uintptr_t(establisherFrame) - kFrameBytes;
    context->X0 = 0;
    return ExceptionContinueExecution;
}

// bool GuardedViewRead(read = x0, context = x1, viewStart = x2, viewSize = x3)
asm(R"(
    .text
    .globl GuardedViewRead
    .def GuardedViewRead; .scl 2; .type 32; .endef
    .p2align 2
    .seh_proc GuardedViewRead
GuardedViewRead:
    stp x29, x30, [sp, #-176]!
    .seh_save_fplr_x 176
    stp x19, x20, [sp, #16]
    .seh_save_regp x19, 16
    stp x21, x22, [sp, #32]
    .seh_save_regp x21, 32
    stp x23, x24, [sp, #48]
    .seh_save_regp x23, 48
    stp x25, x26, [sp, #64]
    .seh_save_regp x25, 64
    stp x27, x28, [sp, #80]
    .seh_save_regp x27, 80
    stp d8, d9, [sp, #96]
    .seh_save_fregp d8, 96
    stp d10, d11, [sp, #112]
    .seh_save_fregp d10, 112
    stp d12, d13, [sp, #128]
    .seh_save_fregp d12, 128
    stp d14, d15, [sp, #144]
    .seh_save_fregp d14, 144
    mov x29, sp
    .seh_set_fp
    .seh_endprologue
    stp x2, x3, [sp, #160]
    mov x16, x0
    mov x0, x1
    blr x16
    mov w0, #1
.LGuardedViewReadRecovery:
    ldp d14, d15, [sp, #144]
    ldp d12, d13, [sp, #128]
    ldp d10, d11, [sp, #112]
    ldp d8, d9, [sp, #96]
    ldp x27, x28, [sp, #80]
    ldp x25, x26, [sp, #64]
    ldp x23, x24, [sp, #48]
    ldp x21, x22, [sp, #32]
    ldp x19, x20, [sp, #16]
    ldp x29, x30, [sp], #176
    ret
    .seh_handler GuardedViewHandler, @except
    .seh_handlerdata
    .rva .LGuardedViewReadRecovery
    .text
    .seh_endproc
)");
