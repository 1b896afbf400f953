// The restore file of a run. Not made yet: a run asked for one fails
// before its first write, so that no target is replaced without a way back.
#include "engine/restore.h"

PatchRestoreState g_restore;

int RestoreActive(void) {
    return 0;
}

int RestoreBegin(const PatchRestore* restore) {
    (void)restore;
    g_restore.state = RESTORE_FAILED;
    return PR_NOTWRITTEN;
}

int RestoreAddDelta(const PatchRecordHead*, PatchCursor, const unsigned char*, uint32_t, uint32_t) {
    return PR_NOTWRITTEN;
}

int RestoreAddWhole(const PatchRecordHead*, const char*, const unsigned char*, uint32_t) {
    return PR_NOTWRITTEN;
}

void RestoreNoteCreated(void) {}

void RestoreEnd(void) {}
