// The project file: a build's settings saved as JSON, so that a patch can
// be made again the same way from a script (mkpatch build --project) or
// from the builder window. docs/mkpatch.md lists its keys.
#ifndef KORVEX_MKPATCH_PROJECT_H
#define KORVEX_MKPATCH_PROJECT_H

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "branding.h"

namespace mkpatch {

// What a project file holds; unset fields were not in it. Relative paths
// in the file are taken from the file's folder, so a project runs the same
// from anywhere.
struct Project {
    std::optional<std::filesystem::path> oldDir, newDir, output, applier;
    std::optional<bool> force, replace, containerOnly, trailer, strict;
    std::optional<unsigned> codePage;
    std::optional<std::string> format;  // passed on as --format
    std::optional<std::vector<std::string>> excludes;
    Branding branding;
};

// Reads a project file. Throws Error as "FILE:LINE: problem" for bad JSON,
// an unknown key or a value of the wrong kind.
Project ReadProject(const std::filesystem::path& file);

// The project as a file's text, which ReadProject reads back the same
// (paths as they are given: relative ones are then taken from the folder
// the file is saved in).
std::string ProjectJson(const Project& p);

// The project as the build command's options would give it: long option
// names with their values (one empty value for a switch), in the order of
// the file's keys, and OLD and NEW (empty when the file gives neither).
struct ProjectArguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::vector<std::string>>> options;
};
ProjectArguments ArgumentsOf(const Project& p);

}  // namespace mkpatch

#endif
