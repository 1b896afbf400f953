#include "pairing.h"

#include <set>

#include "names.h"

namespace mkpatch {

Pairing PairTrees(const Tree& oldTree, const Tree& newTree, const fs::path& oldDir,
                  const fs::path& newDir) {
    Pairing p;
    auto shown = [](const fs::path& dir, const std::string& rel) {
        return Utf8(dir / PathFromUtf8(rel));
    };
    std::map<std::string, const TreeFile*> oldExact, oldFolded;
    for (const TreeFile& f : oldTree.files) {
        oldExact[f.rel] = &f;
        oldFolded.emplace(FoldName(f.rel), &f);
    }
    std::set<std::string> oldFolders;
    std::map<std::string, std::string> newFolders;  // folded -> rel
    for (const std::string& d : oldTree.folders)
        oldFolders.insert(FoldName(d));
    for (const std::string& d : newTree.folders) {
        auto [twin, fresh] = newFolders.emplace(FoldName(d), d);
        if (!fresh)
            p.errors.push_back(shown(newDir, d) + " and " + shown(newDir, twin->second) +
                               " differ only in letter case; they would be one folder on Windows");
        if (auto it = oldFolded.find(FoldName(d)); it != oldFolded.end())
            p.errors.push_back(shown(oldDir, it->second->rel) + " is a file where " +
                               shown(newDir, d) + " is a folder; the applier cannot make the folder");
    }
    std::set<const TreeFile*> used;
    for (const TreeFile& f : newTree.files) {
        std::string folded = FoldName(f.rel);
        auto [at, fresh] = p.byFoldedName.emplace(folded, p.pairs.size());
        if (!fresh) {
            p.errors.push_back(shown(newDir, f.rel) + " and " +
                               shown(newDir, p.pairs[at->second].newFile->rel) +
                               " differ only in letter case; they would be one file on Windows");
            continue;
        }
        if (auto twin = newFolders.find(folded); twin != newFolders.end())
            p.errors.push_back(shown(newDir, f.rel) + " and " + shown(newDir, twin->second) +
                               " differ only in letter case; Windows cannot hold a file and a "
                               "folder of one name");
        if (oldFolders.count(folded))
            p.errors.push_back(shown(newDir, f.rel) + " is a file where " + Utf8(oldDir) +
                               " has a folder of that name; the applier cannot replace a folder");
        const TreeFile* old = nullptr;
        if (auto it = oldExact.find(f.rel); it != oldExact.end())
            old = it->second;
        else if (auto it2 = oldFolded.find(folded); it2 != oldFolded.end())
            old = it2->second;
        if (old)
            used.insert(old);
        p.pairs.push_back({&f, old});
    }
    for (const TreeFile& f : oldTree.files) {
        if (!used.count(&f))
            p.onlyInOld.push_back(&f);
    }
    for (const std::string& d : newTree.emptyFolders) {
        if (!oldFolders.count(FoldName(d)))
            p.emptyInNewOnly.push_back(d);
    }
    return p;
}

std::vector<std::string> LeftOutNotes(const Tree& oldTree, const Tree& newTree, const Pairing& pairing,
                                      const fs::path& oldDir, const fs::path& newDir) {
    std::vector<std::string> notes;
    for (const std::string& note : oldTree.notes)
        notes.push_back(Utf8(oldDir) + "/" + note);
    for (const std::string& note : newTree.notes)
        notes.push_back(Utf8(newDir) + "/" + note);
    for (const TreeFile* f : pairing.onlyInOld)
        notes.push_back(f->rel + ": only in OLD; the patch leaves it in place");
    for (const std::string& d : pairing.emptyInNewOnly)
        notes.push_back(Utf8(newDir) + "/" + d + ": an empty folder; a patch cannot make empty "
                                                 "folders, so it is left out");
    return notes;
}

}  // namespace mkpatch
