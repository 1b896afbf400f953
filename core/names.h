/* Record names and target paths: names are byte strings in the ANSI code
   page, walked character by character so that the trail byte 0x5C of a
   double-byte character is never taken for a separator. */
#ifndef KORVEX_CORE_NAMES_H
#define KORVEX_CORE_NAMES_H

#include <stddef.h>

enum {
    PATCH_PATH_MAX = 260  /* MAX_PATH: folder + name + 0 must fit */
};

/* Tells whether a byte starts a double-byte character in the names' code
   page; such a byte and the one after it are one character. */
typedef int (*LeadBytePredicate)(unsigned char byte);

#ifdef __cplusplus
extern "C" {
#endif

/* Lead bytes of code page 936 (GBK), for hosts that are not Windows. */
int IsLeadByte936(unsigned char byte);
/* A predicate for single-byte code pages: no byte is a lead byte. */
int IsLeadByteNone(unsigned char byte);

/* Length in bytes (1 or 2) of the character at text, with left bytes
   left. A lead byte makes two bytes one character only when the next byte
   can be a trail byte (0x40 or above in every double-byte code page), so
   '/', ':' and '.' after a stray lead byte are still seen for what they
   are, while a trail byte 0x5C is not taken for a separator. */
size_t CharLength(const char* text, size_t left, LeadBytePredicate isLead);

/* Checks that a record name stays inside the target folder: not empty, no
   leading separator, no colon (drives and streams), no empty component and
   no component made only of dots and spaces ("..", "..."), no reserved
   device name (CON, NUL, COM1, ...). The name is walked character by
   character so that a trail byte 0x5C of a double-byte character is not
   taken for a separator. Returns 1 when the name is acceptable. */
int CheckRecordName(const char* name, size_t len, LeadBytePredicate isLead);

/* Byte length of the folder part of a path: up to and including its last
   separator character; 0 when there is none. */
size_t FolderPartLength(const char* path, size_t len, LeadBytePredicate isLead);

/* Joins folder and name into out (PATCH_PATH_MAX bytes). Returns 0 and
   writes only a 0 byte when the two with their 0 byte do not fit. */
int JoinPath(char out[PATCH_PATH_MAX], const char* folder, const char* name, size_t nameLen);

#ifdef __cplusplus
}
#endif

#endif
