/* The game build whose layout the bridge's camera hook knows: one internal
   function at image base + 0x33E4D68 and three object pointers far into the
   image (uninitialised data, so the file stays small). The linker places
   .hostfn at image base + 0x33E4000 and .hostdat at image base + 0x33E5000
   (see CMakeLists.txt); the build verifies the resulting addresses. */

    .section .hostfn,"xr"
#ifdef HOST_GAME_OTHER_BUILD
/* Another build of the game (as after an update): the function begins 8 bytes
   earlier, so +0x33E4D68 lies inside it, and its function table says so. The
   bytes from +0x33E4D68 on are the same as in the first build, so that a hook
   placed there anyway would run and show in the camera data. */
    .space 0xD60, 0xCC
#else
    .space 0xD68, 0xCC
#endif
    .globl hostInternalFunction
    .def hostInternalFunction; .scl 2; .type 32; .endef
    .seh_proc hostInternalFunction
hostInternalFunction:
#ifdef HOST_GAME_OTHER_BUILD
    movq %r9, 32(%rsp)
    nopl (%rax)
#endif
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
