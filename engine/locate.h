/* Finding the folder a patch belongs in: whether a folder holds what the
   patch will rebuild, and folders named by registry values. Only looks;
   nothing is written. */
#ifndef KORVEX_ENGINE_LOCATE_H
#define KORVEX_ENGINE_LOCATE_H

#include <windows.h>
#include <stddef.h>

#include "engine/patch.h"

#ifdef __cplusplus
extern "C" {
#endif

/* IsDBCSLeadByte in the form core/names.h takes. */
int LeadByteAcp(unsigned char byte);

/* 1 when folder (ending with its separator) exists and holds findFile,
   or, when findFile is 0, every delta target the container names (bare
   form or format 2). The walk stops at the first part it cannot read and
   judges by the targets before it: the run that follows reports the
   damage, nothing here. */
int FolderFits(const PatchContainer* container, const char* folder, const char* findFile);

/* Reads the folder that valuePath ("ROOT\subkey\...\ValueName", ROOT one of
   HKLM, HKCU, HKCR, HKU or their long forms) names, in the registry view
   view (KEY_WOW64_32KEY or KEY_WOW64_64KEY), into out (MAX_PATH bytes),
   environment variables of a REG_EXPAND_SZ expanded and a separator
   added when it has none. Returns 0 when there is no such string value or
   it does not fit. */
int RegistryFolder(const char* valuePath, REGSAM view, char* out);

#ifdef __cplusplus
}
#endif

#endif
