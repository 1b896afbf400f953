#include "project.h"

#include "error.h"
#include "files.h"
#include "json.h"
#include "text.h"

namespace mkpatch {
namespace {

struct Reader {
    std::string what;      // the file, for messages
    fs::path folder;       // relative paths start here

    [[noreturn]] void Fail(const JsonValue& v, const std::string& why) const {
        throw Error(what + ":" + std::to_string(v.line) + ": " + why);
    }
    std::string Text(const std::string& key, const JsonValue& v) const {
        if (v.kind != JsonValue::kString)
            Fail(v, "\"" + key + "\" needs a string");
        return v.text;
    }
    fs::path Path(const std::string& key, const JsonValue& v) const {
        fs::path p = PathFromUtf8(Text(key, v));
        if (p.empty())
            Fail(v, "\"" + key + "\" needs a path, not an empty string");
        return p.is_absolute() ? p : folder / p;
    }
    bool Bool(const std::string& key, const JsonValue& v) const {
        if (v.kind != JsonValue::kBool)
            Fail(v, "\"" + key + "\" needs true or false");
        return v.boolean;
    }
    // a list of strings; one string stands for a list of one
    std::vector<std::string> Texts(const std::string& key, const JsonValue& v) const {
        if (v.kind == JsonValue::kString)
            return {v.text};
        if (v.kind != JsonValue::kArray)
            Fail(v, "\"" + key + "\" needs a list of strings");
        std::vector<std::string> out;
        for (const JsonValue& item : v.items)
            out.push_back(Text(key, item));
        return out;
    }
    unsigned CodePageNumber(const JsonValue& v) const {
        bool digits = v.kind == JsonValue::kNumber && !v.text.empty() && v.text.size() <= 5 &&
                      v.text.find_first_not_of("0123456789") == std::string::npos;
        unsigned n = digits ? static_cast<unsigned>(std::stoul(v.text)) : 0;
        if (n == 0 || n > 65535)
            Fail(v, "\"codepage\" needs a code page number, such as 936");
        return n;
    }
};

// Each key of the file and what it sets.
void Apply(const Reader& r, Project& p, const std::string& key, const JsonValue& v) {
    Branding& b = p.branding;
    if (key == "old") p.oldDir = r.Path(key, v);
    else if (key == "new") p.newDir = r.Path(key, v);
    else if (key == "output") p.output = r.Path(key, v);
    else if (key == "applier") p.applier = r.Path(key, v);
    else if (key == "force") p.force = r.Bool(key, v);
    else if (key == "replace") p.replace = r.Bool(key, v);
    else if (key == "container_only") p.containerOnly = r.Bool(key, v);
    else if (key == "trailer") p.trailer = r.Bool(key, v);
    else if (key == "strict") p.strict = r.Bool(key, v);
    else if (key == "codepage") p.codePage = r.CodePageNumber(v);
    else if (key == "exclude") p.excludes = r.Texts(key, v);
    else if (key == "format") {
        if (v.kind != JsonValue::kString && v.kind != JsonValue::kNumber)
            r.Fail(v, "\"format\" needs a string or a number");
        p.format = v.text;
    }
    else if (key == "title") b.title = r.Text(key, v);
    else if (key == "about") {
        std::vector<std::string> lines = r.Texts(key, v);
        std::string joined;
        for (size_t i = 0; i < lines.size(); i++)
            joined += (i ? "\n" : "") + lines[i];
        b.about = joined;
    }
    else if (key == "about_file") b.aboutFile = r.Path(key, v);
    else if (key == "icon") b.icon = r.Path(key, v);
    else if (key == "help_file") b.helpFile = r.Path(key, v);
    else if (key == "version_info") {
        if (v.kind != JsonValue::kObject)
            r.Fail(v, "\"version_info\" needs an object of KEY: VALUE strings");
        for (auto& [k, value] : v.members)
            b.versionInfo.emplace_back(k, r.Text(k, value));
    }
    else if (key == "find_registry") b.findRegistry = r.Texts(key, v);
    else if (key == "find_file") b.findFile = r.Text(key, v);
    else
        r.Fail(v, "unknown key \"" + key + "\"");
}

std::string PathText(const fs::path& p) {
    return JsonString(Utf8(p));
}

}  // namespace

Project ReadProject(const fs::path& file) {
    std::vector<uint8_t> bytes = ReadFileBytes(file);
    std::string text(bytes.begin(), bytes.end());
    if (text.starts_with("\xEF\xBB\xBF"))  // Notepad's byte-order mark
        text.erase(0, 3);
    Reader r{Utf8(file), file.parent_path()};
    JsonValue doc = ParseJson(text, r.what);
    if (doc.kind != JsonValue::kObject)
        r.Fail(doc, "a project file holds one JSON object");
    Project p;
    for (auto& [key, value] : doc.members)
        Apply(r, p, key, value);
    return p;
}

std::string ProjectJson(const Project& p) {
    std::vector<std::string> lines;
    auto path = [&](const char* key, const std::optional<fs::path>& v) {
        if (v)
            lines.push_back(JsonString(key) + ": " + PathText(*v));
    };
    auto flag = [&](const char* key, const std::optional<bool>& v) {
        if (v)
            lines.push_back(JsonString(key) + ": " + (*v ? "true" : "false"));
    };
    auto text = [&](const char* key, const std::optional<std::string>& v) {
        if (v)
            lines.push_back(JsonString(key) + ": " + JsonString(*v));
    };
    auto list = [&](const char* key, const std::vector<std::string>& v) {
        std::string s = JsonString(key) + ": [";
        for (size_t i = 0; i < v.size(); i++)
            s += (i ? ", " : "") + JsonString(v[i]);
        lines.push_back(s + "]");
    };
    const Branding& b = p.branding;
    path("old", p.oldDir);
    path("new", p.newDir);
    path("output", p.output);
    path("applier", p.applier);
    flag("force", p.force);
    flag("replace", p.replace);
    flag("container_only", p.containerOnly);
    flag("trailer", p.trailer);
    flag("strict", p.strict);
    if (p.codePage)
        lines.push_back("\"codepage\": " + std::to_string(*p.codePage));
    text("format", p.format);
    if (p.excludes)
        list("exclude", *p.excludes);
    text("title", b.title);
    text("about", b.about);
    path("about_file", b.aboutFile);
    path("icon", b.icon);
    path("help_file", b.helpFile);
    if (!b.versionInfo.empty()) {
        std::string s = "\"version_info\": {";
        for (size_t i = 0; i < b.versionInfo.size(); i++)
            s += (i ? ", " : "") + JsonString(b.versionInfo[i].first) + ": " +
                 JsonString(b.versionInfo[i].second);
        lines.push_back(s + "}");
    }
    if (!b.findRegistry.empty())
        list("find_registry", b.findRegistry);
    text("find_file", b.findFile);
    std::string out = "{";
    for (size_t i = 0; i < lines.size(); i++)
        out += (i ? ",\n  " : "\n  ") + lines[i];
    return out + "\n}\n";
}

ProjectArguments ArgumentsOf(const Project& p) {
    ProjectArguments a;
    if (p.oldDir || p.newDir)
        a.positional = {p.oldDir ? Utf8(*p.oldDir) : "", p.newDir ? Utf8(*p.newDir) : ""};
    auto value = [&](const char* option, const std::optional<std::string>& v) {
        if (v)
            a.options.push_back({option, {*v}});
    };
    auto path = [&](const char* option, const std::optional<fs::path>& v) {
        if (v)
            a.options.push_back({option, {Utf8(*v)}});
    };
    auto on = [&](const char* option, bool v) {
        if (v)
            a.options.push_back({option, {""}});
    };
    const Branding& b = p.branding;
    path("--output", p.output);
    path("--applier", p.applier);
    on("--force", p.force.value_or(false));
    on("--replace", p.replace.value_or(false));
    on("--container-only", p.containerOnly.value_or(false));
    on("--no-trailer", !p.trailer.value_or(true));
    on("--strict", p.strict.value_or(false));
    if (p.codePage)
        a.options.push_back({"--codepage", {std::to_string(*p.codePage)}});
    value("--format", p.format);
    if (p.excludes)
        a.options.push_back({"--exclude", *p.excludes});
    value("--title", b.title);
    value("--about", b.about);
    path("--about-file", b.aboutFile);
    path("--icon", b.icon);
    path("--help-file", b.helpFile);
    if (!b.versionInfo.empty()) {
        std::vector<std::string> kv;
        for (auto& [k, v] : b.versionInfo)
            kv.push_back(k + "=" + v);
        a.options.push_back({"--version-info", kv});
    }
    if (!b.findRegistry.empty())
        a.options.push_back({"--find-registry", b.findRegistry});
    value("--find-file", b.findFile);
    return a;
}

}  // namespace mkpatch
