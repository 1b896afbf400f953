/* The mark by which the applier executable carries its own container
   offset: STUB_MARK_SIZE bytes of STUB_MARK followed by the offset as a
   little-endian 32-bit number. The build writes the real offset (the
   linked file's size) over a placeholder after linking, and tools find the
   mark to tell an applier from other files and to learn where its
   container starts. */
#ifndef KORVEX_CORE_STUBMARK_H
#define KORVEX_CORE_STUBMARK_H

#define STUB_MARK "KORVEX-APPLIER\x1A"
enum {
    STUB_MARK_SIZE = 16,                 /* the 15 characters and their 0 byte */
    STUB_INFO_SIZE = STUB_MARK_SIZE + 4, /* mark, then the offset */
    STUB_OFFSET_PLACEHOLDER = 0x7FFFFFFF /* what the offset holds before the fix-up */
};

#endif
