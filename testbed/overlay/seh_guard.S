// int overlayCallGuarded(void (*call)(void*), void* argument)
// Calls `call(argument)` inside a frame with an exception handler of its own, as an __try/__except block
// compiled by MSVC: overlaySehHandler (overlay.cpp) decides, and for the exception code of the overlay unwinds
// to overlayGuardResume with 1 in RAX. Returns 0 when the call returned normally. GCC has no __try, so the
// frame and its handler are declared here with the SEH directives of the assembler.
    .text
    .p2align 4
    .globl overlayCallGuarded
    .globl overlayGuardResume
    .def overlayCallGuarded; .scl 2; .type 32; .endef
    .seh_proc overlayCallGuarded
overlayCallGuarded:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    jmp 1f
overlayGuardResume:
    nop
1:
    addq $40, %rsp
    ret
    .seh_handler overlaySehHandler, @except
    .seh_endproc
