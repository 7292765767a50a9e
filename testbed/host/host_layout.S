/* The game build whose layout the bridge's camera hook knows: one internal
   function at image base + 0x33E4D68 and three object pointers far into the
   image (uninitialised data, so the file stays small). The linker places
   .hostfn at image base + 0x33E4000 and .hostdat at image base + 0x33E5000
   (see CMakeLists.txt); the build verifies the resulting addresses. */

    .section .hostfn,"xr"
    .space 0xD68, 0xCC
    .globl hostInternalFunction
    .def hostInternalFunction; .scl 2; .type 32; .endef
    .seh_proc hostInternalFunction
hostInternalFunction:
    movq %rcx, 8(%rsp)
    movq %rdx, 16(%rsp)
    movq %r8, 24(%rsp)
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    call hostInternalFunctionBody
    addq $40, %rsp
    ret
    .seh_endproc

    .section .hostdat,"bw"
    .p2align 12
hostDataStart:
    .space 0x5049EB8 - 0x33E5000
    .globl hostWorld2Slot
hostWorld2Slot:
    .space 8
    .space 0x5049F90 - 0x5049EC0
    .globl hostWorld1Slot
hostWorld1Slot:
    .space 8
    .space 0x59056A0 - 0x5049F98
    .globl hostGameStateSlot
hostGameStateSlot:
    .space 8
    .space 0x5906000 - 0x59056A8
