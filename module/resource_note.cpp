// Places the compiled resources (.res) in the module file as an allocated note
// in section .rsrc, owner "RSRC", type 1: the linker maps it with the module's
// PT_NOTE segment, where the host reads it from the instance handle alone.
#ifndef LUMATRICE_RES_FILE
#error "LUMATRICE_RES_FILE must name the compiled .res file"
#endif

asm(".pushsection .rsrc,\"a\",@note\n"
    "  .balign 4\n"
    "  .long 2f - 1f\n"  // owner name size, terminator included
    "  .long 4f - 3f\n"  // data size
    "  .long 1\n"        // type
    "1: .asciz \"RSRC\"\n"
    "2: .balign 4\n"
    "3: .incbin \"" LUMATRICE_RES_FILE "\"\n"
    "4: .balign 4\n"
    ".popsection\n");
