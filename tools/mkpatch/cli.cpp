// The command line: subcommands, options, help and exit codes.
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>
#include <stdexcept>

#include "commands.h"
#include "files.h"

#ifndef MKPATCH_VERSION
#define MKPATCH_VERSION "0"
#endif

namespace mkpatch {
namespace {

const char kUsage[] =
    "usage:\n"
    "  mkpatch build OLD_DIR NEW_DIR -o PATCH.exe [--applier APPLIER.exe] [--replace] [--force]\n"
    "                [--container-only] [--no-trailer] [--codepage N]\n"
    "  mkpatch list PATCH [--json] [--codepage N]\n"
    "  mkpatch verify PATCH OLD_DIR NEW_DIR [--codepage N]\n"
    "  mkpatch --help | --version\n";

const char kHelp[] =
    "mkpatch makes self-applying patches: it compares two folders and writes\n"
    "a patch container, appended to a copy of the applier.\n"
    "\n"
    "build   Files only in NEW_DIR become whole files, files that differ become\n"
    "        delta records of the least size the format allows, identical files\n"
    "        are left out, files only in OLD_DIR are reported (the patch cannot\n"
    "        delete them).\n"
    "          -o PATH            the patch to write (required); never inside\n"
    "                             OLD_DIR or NEW_DIR, never the applier itself\n"
    "          -f, --force        replace PATH if it exists\n"
    "          --applier FILE     the applier to append to (default: applier.exe\n"
    "                             beside mkpatch)\n"
    "          --replace          the applier may already carry a container;\n"
    "                             the new patch gets the new one instead\n"
    "          --container-only   write the bare container, no applier\n"
    "          --no-trailer       leave out the integrity trailer (lengths and\n"
    "                             CRC-32s) after the last record\n"
    "          --codepage N       the target's ANSI code page for names (936)\n"
    "list    One line per record: type, checksums, command counts, copied and\n"
    "        inserted bytes, output size, name; --json for tools.\n"
    "verify  Applies every record in memory to OLD_DIR and checks that the\n"
    "        result is NEW_DIR byte for byte; writes nothing.\n"
    "\n"
    "Exit codes: 0 success, 1 failure or difference found, 2 bad command line.\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Parsed {
    std::vector<std::string> positional;
    std::optional<std::string> output;
    std::optional<std::string> applier;
    bool containerOnly = false;
    bool replace = false;
    bool noTrailer = false;
    bool force = false;
    bool json = false;
    unsigned codePage = 936;
};

unsigned ParseCodePage(const std::string& s) {
    size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(s, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != s.size() || v == 0 || v > 65535)
        throw UsageError("--codepage needs a code page number, not '" + s + "'");
    return static_cast<unsigned>(v);
}

Parsed ParseArgs(const std::vector<std::string>& args, size_t from) {
    Parsed p;
    auto value = [&](size_t& i) -> const std::string& {
        if (i + 1 >= args.size())
            throw UsageError(args[i] + " needs a value");
        return args[++i];
    };
    bool onlyPositional = false;
    for (size_t i = from; i < args.size(); i++) {
        const std::string& a = args[i];
        if (onlyPositional || a.empty() || a[0] != '-' || a == "-") {
            p.positional.push_back(a);
        } else if (a == "--") {
            onlyPositional = true;
        } else if (a == "-o" || a == "--output") {
            p.output = value(i);
        } else if (a == "--applier") {
            p.applier = value(i);
        } else if (a == "--codepage") {
            p.codePage = ParseCodePage(value(i));
        } else if (a == "--container-only") {
            p.containerOnly = true;
        } else if (a == "--replace") {
            p.replace = true;
        } else if (a == "--force" || a == "-f") {
            p.force = true;
        } else if (a == "--no-trailer") {
            p.noTrailer = true;
        } else if (a == "--json") {
            p.json = true;
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    return p;
}

void Expect(const Parsed& p, const std::string& command, size_t count) {
    if (p.positional.size() != count)
        throw UsageError(command + " takes " + std::to_string(count) + " file or folder name" +
                         (count == 1 ? "" : "s") + ", not " + std::to_string(p.positional.size()));
}

int Build(const Parsed& p, std::ostream& out, std::ostream& err) {
    Expect(p, "build", 2);
    if (!p.output)
        throw UsageError("build needs -o PATCH");
    if (p.containerOnly && (p.applier || p.replace))
        throw UsageError("--container-only writes no applier; drop --applier and --replace");
    BuildOptions o;
    o.oldDir = PathFromUtf8(p.positional[0]);
    o.newDir = PathFromUtf8(p.positional[1]);
    o.output = PathFromUtf8(*p.output);
    if (p.applier)
        o.applier = PathFromUtf8(*p.applier);
    o.containerOnly = p.containerOnly;
    o.replace = p.replace;
    o.trailer = !p.noTrailer;
    o.force = p.force;
    o.codePage = p.codePage;
    o.progress = StderrIsTerminal();
    BuildResult r = BuildPatch(o, err);
    out << "mkpatch: wrote " << *p.output << ": " << r.records << " records (" << r.wholeFiles
        << " new files, " << r.deltas << " rebuilt), " << r.unchanged << " unchanged, "
        << r.onlyInOld << " only in OLD; container " << r.containerSize << " bytes, file "
        << r.fileSize << " bytes";
    if (r.warnings)
        out << "; " << r.warnings << " warning" << (r.warnings == 1 ? "" : "s");
    out << "\n";
    return kExitOk;
}

}  // namespace

int RunMkpatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << kUsage;
            return kExitUsage;
        }
        const std::string& cmd = args[0];
        if (cmd == "--help" || cmd == "-h" || cmd == "help") {
            out << kUsage << "\n" << kHelp;
            return kExitOk;
        }
        if (cmd == "--version") {
            out << "mkpatch " << MKPATCH_VERSION << "\n";
            return kExitOk;
        }
        Parsed p = ParseArgs(args, 1);
        if (cmd == "build")
            return Build(p, out, err);
        if (cmd == "list") {
            Expect(p, "list", 1);
            return ListPatch(PathFromUtf8(p.positional[0]), p.codePage, p.json, out, err);
        }
        if (cmd == "verify") {
            Expect(p, "verify", 3);
            return VerifyPatch(PathFromUtf8(p.positional[0]), PathFromUtf8(p.positional[1]),
                               PathFromUtf8(p.positional[2]), p.codePage, out, err);
        }
        throw UsageError("unknown command '" + cmd + "'");
    } catch (const UsageError& e) {
        err << "mkpatch: " << e.what() << "\n" << kUsage;
        return kExitUsage;
    } catch (const Error& e) {
        err << "mkpatch: " << e.what() << "\n";
        return kExitFailed;
    } catch (const std::invalid_argument& e) {  // an unavailable code page
        err << "mkpatch: " << e.what() << "\n";
        return kExitFailed;
    } catch (const std::bad_alloc&) {
        err << "mkpatch: out of memory\n";
        return kExitFailed;
    } catch (const std::exception& e) {
        err << "mkpatch: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace mkpatch
