// GuardedViewRead for 32-bit x86, where exception handling is a chain of
// frames: a function that handles exceptions pushes a registration record
// (next, handler) on its own stack and links it at fs:[0]; the system calls
// the handlers from the newest record to the oldest.
//
// GuardedViewRead is written in assembly so that its frame layout is fixed:
// it saves EBP, EBX, ESI and EDI, pushes the record {next,
// GuardedViewHandler, viewStart, viewSize}, calls the reader, unlinks the
// record and returns true. On a read fault inside the view the handler has
// the system unwind every record newer than its own (RtlUnwind, as the C
// runtime's __except does), then GuardedViewResume drops the stack back to
// the record and leaves through the same exit with EAX = 0, restoring the
// saved registers from the frame whatever the reader left in them. It does
// not return to the dispatcher, whose frames lie below and are abandoned.
// Nothing process-wide is registered, nothing is allocated, and every other
// exception is passed on.
#include "GuardedRead.h"
#include "ViewReadFault.h"

#include <windows.h>

#include <cstdint>

extern "C" [[noreturn]] void GuardedViewResume(void* record);

extern "C" EXCEPTION_DISPOSITION __cdecl GuardedViewHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                            CONTEXT*, void*) {
    // Also called while unwinding (by the unwind below among others); then,
    // as for any other exception, the search goes on.
    const auto* frame = static_cast<const uintptr_t*>(establisherFrame);
    if (!IsReadFaultInView(record, frame[2], frame[3])) return ExceptionContinueSearch;

    RtlUnwind(establisherFrame, nullptr, record, nullptr);
    GuardedViewResume(establisherFrame);
}

// bool GuardedViewRead(read, context, viewStart, viewSize), cdecl: the
// arguments lie at 20..32(%ebp) once the four registers are saved.
asm(R"(
    .text
    .globl _GuardedViewRead
    .def _GuardedViewRead; .scl 2; .type 32; .endef
_GuardedViewRead:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, %ebp
    pushl 32(%ebp)
    pushl 28(%ebp)
    pushl $_GuardedViewHandler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 24(%ebp)
    calll *20(%ebp)
    addl $4, %esp
    movl $1, %eax
.LGuardedViewReadExit:
    popl %fs:0
    addl $12, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    retl

    .globl _GuardedViewResume
    .def _GuardedViewResume; .scl 2; .type 32; .endef
_GuardedViewResume:
    movl 4(%esp), %esp
    xorl %eax, %eax
    jmp .LGuardedViewReadExit
)");
