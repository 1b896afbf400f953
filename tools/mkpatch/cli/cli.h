// The command-line front end of mkpatch: the whole command line, parsed
// and run against the library's commands.
#ifndef KORVEX_MKPATCH_CLI_CLI_H
#define KORVEX_MKPATCH_CLI_CLI_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/mkpatch/lib/commands.h"

namespace mkpatch {

// The whole command line (arguments after the program name, UTF-8).
// Returns the exit code. in is what 'list -' reads (std::cin unless given).
int RunMkpatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunMkpatch(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace mkpatch

#endif
