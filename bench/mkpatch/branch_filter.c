/* The x86 branch-target transform, one way, for measuring what it would
   gain (bench/mkpatch/branch-filter.sh). Each call or jump (E8/E9) whose
   32-bit relative operand's top byte is 00 or FF (a target within 16 MiB)
   gets its absolute target instead: position after the operand plus the
   operand, kept in 25 bits and sign-extended so that the top byte stays
   00 or FF. The file is changed in place.

   This is an estimate, not a filter a patch could carry: the scan decides
   each position on the bytes as they were, and a decoder would see some of
   them already changed (operands that overlap a later opcode byte), so a
   few decisions would differ on the way back. A shipped filter would need
   the scan's decisions made on bytes both sides see alike. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: branch_filter FILE\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) return 2;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* b = malloc(n ? n : 1);
    if (!b || fread(b, 1, n, f) != (size_t)n) return 2;
    fclose(f);
    long converted = 0;
    for (long i = 0; i + 5 <= n;) {
        if ((b[i] == 0xE8 || b[i] == 0xE9) && (b[i + 4] == 0 || b[i + 4] == 0xFF)) {
            uint32_t v = b[i + 1] | b[i + 2] << 8 | b[i + 3] << 16 | (uint32_t)b[i + 4] << 24;
            uint32_t w = (v + (uint32_t)(i + 5)) & 0x1FFFFFF;
            if (w & 0x1000000) w |= 0xFE000000;
            for (int k = 0; k < 4; k++) b[i + 1 + k] = (unsigned char)(w >> 8 * k);
            converted++;
            i += 5;
        } else {
            i++;
        }
    }
    f = fopen(argv[1], "wb");
    if (!f || fwrite(b, 1, n, f) != (size_t)n || fclose(f) != 0) return 2;
    fprintf(stderr, "%s: %ld branches\n", argv[1], converted);
    free(b);
    return 0;
}
