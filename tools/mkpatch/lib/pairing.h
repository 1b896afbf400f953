// How NEW files find their OLD files, one set of rules for build and
// verify: the same relative name, else the same name as Windows compares
// names (letter case folded as NTFS folds it).
#ifndef KORVEX_MKPATCH_PAIRING_H
#define KORVEX_MKPATCH_PAIRING_H

#include <map>
#include <string>
#include <vector>

#include "files.h"

namespace mkpatch {

struct FilePair {
    const TreeFile* newFile;
    const TreeFile* oldFile;  // null for a file only in NEW
};

struct Pairing {
    std::vector<FilePair> pairs;                 // one per NEW file, in NEW's order
    std::vector<const TreeFile*> onlyInOld;
    std::vector<std::string> errors;             // what no patch can carry out
    std::vector<std::string> emptyInNewOnly;     // rel of NEW's empty folders that OLD lacks
    std::map<std::string, size_t> byFoldedName;  // FoldName(NEW rel) -> index in pairs
};

// Pairs the files of two listed trees. Errors, each naming both entries:
// two NEW entries (files or folders) whose names are one name on Windows,
// and a file in one tree where the other has a folder of that name. An
// empty NEW folder is worth a warning only when OLD has no such folder:
// a patch cannot make one, but it leaves OLD's in place.
Pairing PairTrees(const Tree& oldTree, const Tree& newTree, const fs::path& oldDir,
                  const fs::path& newDir);

// What a patch of these trees leaves out (verify's notes): the trees' own
// notes, files only in OLD, and folders empty in NEW that OLD lacks; each
// a sentence naming the entry.
std::vector<std::string> LeftOutNotes(const Tree& oldTree, const Tree& newTree, const Pairing& pairing,
                                      const fs::path& oldDir, const fs::path& newDir);

}  // namespace mkpatch

#endif
