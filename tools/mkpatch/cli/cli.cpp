// The command line: subcommands, each with its own options and help, and
// the exit codes.
#include <algorithm>
#include <exception>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/mkpatch/cli/cli.h"
#include "tools/mkpatch/lib/files.h"
#include "tools/mkpatch/lib/project.h"
#include "tools/mkpatch/lib/text.h"

#ifndef MKPATCH_VERSION
#define MKPATCH_VERSION "0"
#endif

namespace mkpatch {
namespace {

const char kUsage[] =
    "usage:\n"
    "  mkpatch build OLD_DIR NEW_DIR -o PATCH.exe [--applier APPLIER.exe] [--replace]\n"
    "                [--force] [--container-only] [--format 2|1] [--no-trailer] [--codepage N]\n"
    "                [--exclude GLOB]... [--dry-run] [--json] [--strict] [-q|-v] [--no-progress]\n"
    "                [--title TEXT] [--about TEXT|--about-file FILE] [--icon FILE.ico]\n"
    "                [--help-file FILE] [--version-info KEY=VALUE]... [--find-registry PATH]...\n"
    "                [--find-file RELPATH] [--project FILE.json]\n"
    "  mkpatch list PATCH|- [--json] [--codepage N]\n"
    "  mkpatch verify PATCH OLD_DIR NEW_DIR [--codepage N] [--exclude GLOB]... [--json]\n"
    "                [--strict] [-q]\n"
    "  mkpatch help [COMMAND] | --help | -V, --version\n"
    "Exit codes: 0 success; 1 a difference, a damaged patch or a warning under\n"
    "--strict; 2 a bad command line or an input or output error.\n";

const char kBuildHelp[] =
    "mkpatch build OLD_DIR NEW_DIR -o PATCH.exe [options]\n"
    "\n"
    "Compares the folders and writes the patch: files only in NEW_DIR become\n"
    "whole files, files that differ become delta records of the least size the\n"
    "format allows, identical files are left out, files only in OLD_DIR are\n"
    "reported (a patch cannot delete them).\n"
    "\n"
    "  -o, --output PATH  the patch to write (required but with --dry-run); never\n"
    "                     inside OLD_DIR or NEW_DIR, never the applier itself;\n"
    "                     '-' writes the bare container (--container-only) to\n"
    "                     standard output\n"
    "  -f, --force        replace PATH if it exists\n"
    "  --applier FILE     the applier to append to (default: applier.exe beside\n"
    "                     mkpatch, or one folder up)\n"
    "  --replace          the applier may already carry a container; the new\n"
    "                     patch gets the new one instead\n"
    "  --container-only   write the container alone, no applier\n"
    "  --format N         2 (default): byte-wise difference copies, separately\n"
    "                     coded streams and built-in lengths and CRC-32s;\n"
    "                     1: the bare format, which every applier reads\n"
    "  --memory SIZE      format 2: the most memory one pair of files may take\n"
    "                     (default 1G; K, M and G suffixes); larger pairs go\n"
    "                     through an index of the old file's blocks\n"
    "  --no-trailer       format 1 only: leave out the integrity trailer\n"
    "                     (lengths and CRC-32s)\n"
    "  --codepage N       the target's ANSI code page for names (936)\n"
    "  --exclude GLOB     leave matching paths out of both folders (repeatable;\n"
    "                     '*' within a name, '**' across names, '?' one character)\n"
    "  --dry-run          print the plan (each record, its kind and most size)\n"
    "                     and write nothing; needs no -o and no applier\n"
    "  --json             print the summary (or the plan) as JSON\n"
    "  --strict           a warning fails the build (exit 1, nothing written)\n"
    "  -q, --quiet        print errors only\n"
    "  -v, --verbose      print every record\n"
    "  --no-progress      no progress bar (it is drawn only on a terminal)\n"
    "\n"
    "What the patch shows and where it looks (texts in UTF-8, stored in code\n"
    "page 936; written into the applier's resources):\n"
    "  --title TEXT       the main window's caption\n"
    "  --about TEXT       the panel's lines, at most 4 ('\\n' breaks a line)\n"
    "  --about-file FILE  the panel's lines from a text file\n"
    "  --icon FILE.ico    the window's icon and the one Explorer shows\n"
    "  --help-file FILE   the Help button's text\n"
    "  --version-info KEY=VALUE  ProductName, FileVersion, CompanyName,\n"
    "                     LegalCopyright, FileDescription or ProductVersion\n"
    "                     (repeatable)\n"
    "  --find-registry 'HKLM\\SOFTWARE\\Maker\\Game\\InstallPath'  a registry value\n"
    "                     naming the game's folder (repeatable, tried in order)\n"
    "  --find-file RELPATH  a file that must be in a folder found\n"
    "  --project FILE     the settings from a JSON project file; options given\n"
    "                     here override it\n"
    "\n"
    "Short options bundle (-qf) and take attached values (-oPATCH); a repeated\n"
    "option's last value wins (--exclude gathers them all).\n"
    "Exit codes: 0 written (or planned); 1 a warning under --strict, nothing\n"
    "written; 2 a bad command line, or an input or output error.\n";

const char kListHelp[] =
    "mkpatch list PATCH|- [--json] [--codepage N]\n"
    "\n"
    "One line per record: type, checksums, command counts, copied and inserted\n"
    "bytes, output size, name; then where the container is, whether the patch\n"
    "is signed and whether its integrity trailer holds. '-' reads the patch\n"
    "from standard input.\n"
    "Exit codes: 0 a sound patch; 1 a malformed or damaged container; 2 a bad\n"
    "command line, or a file that cannot be read or is no patch.\n";

const char kVerifyHelp[] =
    "mkpatch verify PATCH OLD_DIR NEW_DIR [options]\n"
    "\n"
    "Applies every record to OLD_DIR and checks that the result is NEW_DIR\n"
    "byte for byte, the trailer's lengths and CRC-32s included; writes nothing.\n"
    "Files are read a piece at a time: its memory does not grow with their size.\n"
    "\n"
    "  --codepage N       the target's ANSI code page for names (936)\n"
    "  --exclude GLOB     leave matching paths out of both folders, as build did\n"
    "  --json             print the result as JSON\n"
    "  --strict           what build leaves out (files only in OLD, links,\n"
    "                     empty folders) fails the check\n"
    "  -q, --quiet        print problems only\n"
    "\n"
    "Exit codes: 0 the patch turns OLD_DIR into NEW_DIR; 1 a difference (or,\n"
    "with --strict, a note); 2 a bad command line, or an input or output error.\n";

const char kIntro[] =
    "mkpatch makes self-applying patches: it compares two folders and writes\n"
    "a patch container, appended to a copy of the applier.\n"
    "'mkpatch help COMMAND' (or 'mkpatch COMMAND --help') tells more.\n"
    "\n"
    "Exit codes: 0 success; 1 verify found a difference, list a damaged patch,\n"
    "or a warning under --strict; 2 a bad command line or an input or output\n"
    "error.\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    const char* name;       // long form
    const char* shortName;  // or null
    bool value;             // takes a value
    bool repeatable;
};

const OptionSpec kOptions[] = {
    {"--output", "-o", true, false},  {"--applier", nullptr, true, false},
    {"--codepage", nullptr, true, false}, {"--exclude", nullptr, true, true},
    {"--force", "-f", false, false},  {"--replace", nullptr, false, false},
    {"--container-only", nullptr, false, false}, {"--no-trailer", nullptr, false, false},
    {"--format", nullptr, true, false}, {"--memory", nullptr, true, false},
    {"--dry-run", nullptr, false, false}, {"--json", nullptr, false, false},
    {"--strict", nullptr, false, false}, {"--quiet", "-q", false, false},
    {"--verbose", "-v", false, false}, {"--no-progress", nullptr, false, false},
    {"--help", "-h", false, false},
    {"--title", nullptr, true, false}, {"--about", nullptr, true, false},
    {"--about-file", nullptr, true, false}, {"--icon", nullptr, true, false},
    {"--help-file", nullptr, true, false}, {"--version-info", nullptr, true, true},
    {"--find-registry", nullptr, true, true}, {"--find-file", nullptr, true, false},
    {"--project", nullptr, true, false},
};

struct Command {
    const char* name;
    size_t positional;
    const char* help;
    std::vector<std::string> options;  // long forms allowed
};

const Command kCommands[] = {
    {"build", 2, kBuildHelp,
     {"--output", "--applier", "--codepage", "--exclude", "--force", "--replace", "--container-only",
      "--format", "--memory", "--no-trailer", "--dry-run", "--json", "--strict", "--quiet", "--verbose", "--no-progress",
      "--help", "--title", "--about", "--about-file", "--icon", "--help-file", "--version-info",
      "--find-registry", "--find-file", "--project"}},
    {"list", 1, kListHelp, {"--json", "--codepage", "--help"}},
    {"verify", 3, kVerifyHelp,
     {"--codepage", "--exclude", "--json", "--strict", "--quiet", "--help"}},
};

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

struct Parsed {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;  // long form -> values
    bool Has(const char* name) const { return options.count(name) != 0; }
    std::optional<std::string> Value(const char* name) const {
        auto it = options.find(name);
        if (it == options.end())
            return std::nullopt;
        return it->second.front();
    }
};

const OptionSpec* FindOption(const std::string& arg) {
    for (const OptionSpec& o : kOptions)
        if (arg == o.name || (o.shortName && arg == o.shortName))
            return &o;
    return nullptr;
}

// Records option o (written as name) with its value for cmd. A repeated
// option is harmless: its last value wins, but for --exclude, which
// gathers every value.
void AddOption(Parsed& p, const Command& cmd, const OptionSpec& o, const std::string& name,
               const std::optional<std::string>& value) {
    if (std::find(cmd.options.begin(), cmd.options.end(), o.name) == cmd.options.end())
        throw UsageError(std::string(o.name) + " does not belong to " + cmd.name);
    if (!o.value && value)
        throw UsageError(name + " takes no value");
    auto& values = p.options[o.name];
    if (!o.repeatable)
        values.clear();
    values.push_back(value.value_or(""));
}

// The value of option name from the argument after args[i], which must
// not be an option itself; i moves past it.
std::string NextValue(const std::vector<std::string>& args, size_t& i, const std::string& name) {
    if (i + 1 >= args.size())
        throw UsageError(name + " needs a value");
    const std::string& next = args[i + 1];
    if (next.size() > 1 && next[0] == '-' && FindOption(next.substr(0, next.find('='))))
        throw UsageError(name + " needs a value, not the option " + next);
    return args[++i];
}

// Short options bundled in one argument (-qf), the last of them perhaps
// with its value attached (-oout.exe) or in the next argument (-qo out).
void AddShortOptions(Parsed& p, const Command& cmd, const std::vector<std::string>& args, size_t& i) {
    const std::string& a = args[i];
    for (size_t k = 1; k < a.size(); k++) {
        std::string name = {'-', a[k]};
        const OptionSpec* o = FindOption(name);
        if (!o)
            throw UsageError("unknown option " + name + " in " + a);
        if (o->value) {
            AddOption(p, cmd, *o, name, k + 1 < a.size() ? a.substr(k + 1) : NextValue(args, i, name));
            return;
        }
        AddOption(p, cmd, *o, name, std::nullopt);
    }
}

Parsed ParseArgs(const Command& cmd, const std::vector<std::string>& args) {
    Parsed p;
    bool onlyPositional = false;
    for (size_t i = 1; i < args.size(); i++) {
        const std::string& a = args[i];
        if (onlyPositional || a.empty() || a[0] != '-' || a == "-") {
            p.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPositional = true;
            continue;
        }
        if (!a.starts_with("--") && a.size() > 2) {
            AddShortOptions(p, cmd, args, i);
            continue;
        }
        std::string name = a;
        std::optional<std::string> value;
        if (size_t eq = a.find('='); a.starts_with("--") && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        const OptionSpec* o = FindOption(name);
        if (!o)
            throw UsageError("unknown option " + name);
        if (o->value && !value &&
            std::find(cmd.options.begin(), cmd.options.end(), o->name) != cmd.options.end())
            value = NextValue(args, i, name);
        AddOption(p, cmd, *o, name, value);
    }
    return p;
}

unsigned ParseCodePage(const Parsed& p) {
    auto s = p.Value("--codepage");
    if (!s)
        return 936;
    size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(*s, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != s->size() || v == 0 || v > 65535)
        throw UsageError("--codepage needs a code page number, not '" + *s + "'");
    return static_cast<unsigned>(v);
}

// --memory: a size with an optional K, M or G (powers of 1024), at least 64M.
uint64_t ParseMemory(const Parsed& p) {
    auto s = p.Value("--memory");
    if (!s)
        return uint64_t{1} << 30;
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(*s, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    uint64_t unit = 1;
    if (used + 1 == s->size()) {
        char c = static_cast<char>((*s)[used] | 0x20);
        unit = c == 'k' ? 1 << 10 : c == 'm' ? 1 << 20 : c == 'g' ? 1 << 30 : 0;
        used += unit ? 1 : 0;
    }
    if (used != s->size() || !(v > 0) || v * static_cast<double>(unit) < 64.0 * (1 << 20) ||
        v * static_cast<double>(unit) > 1e15)
        throw UsageError("--memory needs a size of at least 64M, such as 512M or 2G, not '" + *s + "'");
    return static_cast<uint64_t>(v * static_cast<double>(unit));
}

// The container format build writes: 2 unless --format says 1.
unsigned ParseFormat(const Parsed& p) {
    auto s = p.Value("--format");
    if (!s || *s == "2")
        return 2;
    if (*s == "1")
        return 1;
    throw UsageError("--format needs 1 or 2, not '" + *s + "'");
}

std::vector<std::string> Excludes(const Parsed& p) {
    auto it = p.options.find("--exclude");
    return it == p.options.end() ? std::vector<std::string>() : it->second;
}

// The project file's settings where the command line gives none: an option
// given here replaces the file's (all its values, for a repeatable one),
// and OLD and NEW given here replace the file's.
void MergeProject(Parsed& p) {
    ProjectArguments a = ArgumentsOf(ReadProject(PathFromUtf8(*p.Value("--project"))));
    if (p.positional.empty())
        p.positional = a.positional;
    for (const std::string& folder : p.positional)
        if (folder.empty())
            throw UsageError("the project file gives only one of \"old\" and \"new\"");
    for (auto& [name, values] : a.options) {
        if (!FindOption(name))
            throw UsageError("the project file asks for " + name + ", which this mkpatch lacks");
        if (!p.Has(name.c_str()))
            p.options[name] = values;
    }
}

void Expect(const Parsed& p, const Command& cmd) {
    if (p.positional.size() != cmd.positional)
        throw UsageError(std::string(cmd.name) + " takes " + std::to_string(cmd.positional) +
                         " file or folder name" + (cmd.positional == 1 ? "" : "s") + ", not " +
                         std::to_string(p.positional.size()));
}

void PrintBuild(const Parsed& p, const BuildOptions& o, const BuildResult& r, std::ostream& out) {
    if (p.Has("--json")) {
        out << "{\"format\": " << kJsonFormat << ", \"output\": " << JsonString(Utf8(o.output))
            << ", \"dry_run\": " << (o.dryRun ? "true" : "false") << ", \"records\": " << r.records
            << ", \"whole\": " << r.wholeFiles << ", \"delta\": " << r.deltas
            << ", \"unchanged\": " << r.unchanged << ", \"only_in_old\": " << r.onlyInOld
            << ", \"container_size\": " << r.containerSize << ", \"file_size\": " << r.fileSize
            << ",\n \"plan\": [";
        for (size_t i = 0; i < r.plan.size(); i++)
            out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(r.plan[i].name)
                << ", \"type\": \"" << (r.plan[i].whole ? "whole" : "delta")
                << "\", \"estimate\": " << r.plan[i].estimate << "}";
        out << "],\n \"warnings\": [";
        for (size_t i = 0; i < r.warningTexts.size(); i++)
            out << (i ? ", " : "") << JsonString(r.warningTexts[i]);
        out << "]}\n";
        return;
    }
    if (p.Has("--quiet"))
        return;
    if (o.dryRun) {
        for (const PlanLine& l : r.plan)
            out << (l.whole ? "whole" : "delta") << " " << (l.whole ? "" : "at most ") << l.estimate
                << " bytes  " << l.name << "\n";
        out << "mkpatch: dry run, nothing written: " << Count(r.records, "record", "records") << " ("
            << Count(r.wholeFiles, "new file", "new files") << ", " << r.deltas << " rebuilt), "
            << r.unchanged << " unchanged, " << r.onlyInOld << " only in OLD\n";
        return;
    }
    out << "mkpatch: wrote " << (o.stream ? "standard output" : Printable(Utf8(o.output))) << ": "
        << Count(r.records, "record", "records") << " (" << Count(r.wholeFiles, "new file", "new files")
        << ", " << r.deltas << " rebuilt), " << r.unchanged << " unchanged, " << r.onlyInOld
        << " only in OLD; container " << Count(r.containerSize, "byte", "bytes") << ", file "
        << Count(r.fileSize, "byte", "bytes");
    if (r.warnings)
        out << "; " << Count(r.warnings, "warning", "warnings");
    out << "\n";
}

// The branding options, as given.
Branding BrandingOf(const Parsed& p) {
    Branding b;
    b.title = p.Value("--title");
    b.about = p.Value("--about");
    auto path = [&](const char* name) -> std::optional<fs::path> {
        if (auto v = p.Value(name))
            return PathFromUtf8(*v);
        return std::nullopt;
    };
    b.aboutFile = path("--about-file");
    b.icon = path("--icon");
    b.helpFile = path("--help-file");
    if (auto it = p.options.find("--version-info"); it != p.options.end())
        for (const std::string& kv : it->second) {
            size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0)
                throw UsageError("--version-info needs KEY=VALUE, not '" + kv + "'");
            b.versionInfo.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        }
    if (auto it = p.options.find("--find-registry"); it != p.options.end())
        b.findRegistry = it->second;
    b.findFile = p.Value("--find-file");
    return b;
}

int Build(const Parsed& p, std::ostream& out, std::ostream& err) {
    auto output = p.Value("--output");
    if (!output && !p.Has("--dry-run"))
        throw UsageError("build needs -o PATCH");
    bool toStdout = output && *output == "-";
    if (toStdout && !p.Has("--container-only"))
        throw UsageError("-o - needs --container-only: a patch with the applier cannot go to "
                         "standard output (its container offset needs a file)");
    if (toStdout && p.Has("--json"))
        throw UsageError("-o - and --json would both write to standard output");
    if (p.Has("--container-only") && (p.Has("--applier") || p.Has("--replace")))
        throw UsageError("--container-only writes no applier; drop --applier and --replace");
    if (p.Has("--quiet") && p.Has("--verbose"))
        throw UsageError("-q and -v contradict each other");
    BuildOptions o;
    o.oldDir = PathFromUtf8(p.positional[0]);
    o.newDir = PathFromUtf8(p.positional[1]);
    if (output)
        o.output = PathFromUtf8(*output);
    if (toStdout)
        o.stream = &out;
    if (auto a = p.Value("--applier"))
        o.applier = PathFromUtf8(*a);
    o.containerOnly = p.Has("--container-only");
    o.replace = p.Has("--replace");
    o.force = p.Has("--force");
    o.trailer = !p.Has("--no-trailer");
    o.format = ParseFormat(p);
    o.memory = ParseMemory(p);
    if (o.format == 2 && !o.trailer)
        throw UsageError("--no-trailer belongs to --format 1; format 2 carries its own lengths and CRC-32s");
    o.codePage = ParseCodePage(p);
    o.dryRun = p.Has("--dry-run");
    o.excludes = Excludes(p);
    bool quiet = p.Has("--quiet") || p.Has("--json");
    o.progress = !quiet && !p.Has("--no-progress") && StderrIsTerminal();
    o.strict = p.Has("--strict");
    o.verbose = p.Has("--verbose");
    o.branding = BrandingOf(p);
    std::ostringstream null;
    BuildResult r = BuildPatch(o, quiet ? null : err);
    PrintBuild(p, o, r, toStdout ? err : out);
    return kExitOk;
}

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
    if (args.empty()) {
        err << kUsage;
        return kExitUsage;
    }
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        if (args.size() > 1) {
            const Command* c = FindCommand(args[1]);
            if (!c || args.size() > 2)
                throw UsageError("help takes one command name: build, list or verify");
            out << c->help;
        } else {
            out << kUsage << "\n" << kIntro;
        }
        return kExitOk;
    }
    if (name == "--version" || name == "-V") {
        out << "mkpatch " << MKPATCH_VERSION << "\n";
        return kExitOk;
    }
    const Command* cmd = FindCommand(name);
    if (!cmd)
        throw UsageError("unknown command '" + name + "'");
    Parsed p = ParseArgs(*cmd, args);
    if (p.Has("--help")) {
        out << cmd->help;
        return kExitOk;
    }
    if (p.Has("--project"))
        MergeProject(p);
    Expect(p, *cmd);
    if (cmd->name == std::string("build"))
        return Build(p, out, err);
    if (cmd->name == std::string("list"))
        return ListPatch(PathFromUtf8(p.positional[0]), ParseCodePage(p), p.Has("--json"), out, err,
                         p.positional[0] == "-" ? &in : nullptr);
    VerifyOptions v;
    v.codePage = ParseCodePage(p);
    v.json = p.Has("--json");
    v.quiet = p.Has("--quiet");
    v.strict = p.Has("--strict");
    v.excludes = Excludes(p);
    return VerifyPatch(PathFromUtf8(p.positional[0]), PathFromUtf8(p.positional[1]),
                       PathFromUtf8(p.positional[2]), v, out, err);
}

}  // namespace

int RunMkpatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return RunMkpatch(args, std::cin, out, err);
}

int RunMkpatch(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err) {
    try {
        return Run(args, in, out, err);
    } catch (const UsageError& e) {
        err << "mkpatch: " << Printable(e.what()) << "\n" << kUsage;
        return kExitUsage;
    } catch (const StrictFailure& e) {
        err << "mkpatch: " << Printable(e.what()) << "\n";
        return kExitFailed;
    } catch (const Error& e) {
        err << "mkpatch: " << Printable(e.what()) << "\n";
        return kExitUsage;
    } catch (const std::invalid_argument& e) {  // an unavailable code page
        err << "mkpatch: " << Printable(e.what()) << "\n";
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        err << "mkpatch: out of memory\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        err << "mkpatch: " << Printable(e.what()) << "\n";
        return kExitUsage;
    }
}

}  // namespace mkpatch
