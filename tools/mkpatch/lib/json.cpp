#include "json.h"

#include "error.h"

namespace mkpatch {
namespace {

// Nesting beyond this is no project file; it would only cost stack.
constexpr int kMaxDepth = 64;

class Parser {
public:
    Parser(std::string_view text, const std::string& what) : s_(text), what_(what) {}

    JsonValue Document() {
        JsonValue v = Value(0);
        Space();
        if (at_ < s_.size())
            Fail("more after the end of the document");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& why) {
        throw Error(what_ + ":" + std::to_string(line_) + ": " + why);
    }

    void Space() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n'))
            line_ += s_[at_++] == '\n';
    }

    bool Take(std::string_view word) {
        if (s_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    JsonValue Value(int depth) {
        Space();
        if (depth > kMaxDepth)
            Fail("nested too deep");
        if (at_ >= s_.size())
            Fail("a value is missing at the end of the file");
        JsonValue v;
        v.line = line_;
        char c = s_[at_];
        if (c == '{') {
            v.kind = JsonValue::kObject;
            Members(v, depth);
        } else if (c == '[') {
            v.kind = JsonValue::kArray;
            Items(v, depth);
        } else if (c == '"') {
            v.kind = JsonValue::kString;
            v.text = String();
        } else if (Take("true") || Take("false")) {
            v.kind = JsonValue::kBool;
            v.boolean = c == 't';
        } else if (Take("null")) {
            v.kind = JsonValue::kNull;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind = JsonValue::kNumber;
            v.text = Number();
        } else {
            Fail(std::string("unexpected '") + c + "'");
        }
        return v;
    }

    void Members(JsonValue& v, int depth) {
        at_++;
        Space();
        if (Take("}"))
            return;
        for (;;) {
            Space();
            if (at_ >= s_.size() || s_[at_] != '"')
                Fail("a key in double quotes is expected");
            int keyLine = line_;
            std::string key = String();
            for (auto& [have, value] : v.members)
                if (have == key)
                    Fail("the key \"" + key + "\" is given twice (first on line " +
                         std::to_string(value.line) + ")");
            Space();
            if (!Take(":"))
                Fail("':' is expected after \"" + key + "\"");
            // a complaint about the value names the key's line
            v.members.push_back({key, Value(depth + 1)});
            v.members.back().value.line = keyLine;
            Space();
            if (Take("}"))
                return;
            if (!Take(","))
                Fail("',' or '}' is expected");
        }
    }

    void Items(JsonValue& v, int depth) {
        at_++;
        Space();
        if (Take("]"))
            return;
        for (;;) {
            v.items.push_back(Value(depth + 1));
            Space();
            if (Take("]"))
                return;
            if (!Take(","))
                Fail("',' or ']' is expected");
        }
    }

    std::string Number() {
        size_t start = at_;
        auto digits = [&] {
            size_t from = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9')
                at_++;
            return at_ > from;
        };
        Take("-");
        if (!digits())
            Fail("a number needs digits");
        if (Take(".") && !digits())
            Fail("a number needs digits after '.'");
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            at_++;
            if (!Take("+"))
                Take("-");
            if (!digits())
                Fail("a number needs digits in its exponent");
        }
        return std::string(s_.substr(start, at_ - start));
    }

    unsigned Hex4() {
        if (s_.size() - at_ < 4)
            Fail("\\u needs four hex digits");
        unsigned v = 0;
        for (int i = 0; i < 4; i++) {
            char c = s_[at_++];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0)
                Fail("\\u needs four hex digits");
            v = v << 4 | static_cast<unsigned>(d);
        }
        return v;
    }

    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string String() {
        at_++;  // the opening quote
        std::string out;
        for (;;) {
            if (at_ >= s_.size())
                Fail("a string is not closed");
            char c = s_[at_++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                Fail(c == '\n' ? "a string is not closed on its line" : "a control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size())
                Fail("a string is not closed");
            char e = s_[at_++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = Hex4();
                if (cp >= 0xD800 && cp < 0xDC00) {
                    if (!Take("\\u"))
                        Fail("a \\u surrogate without its pair");
                    unsigned low = Hex4();
                    if (low < 0xDC00 || low >= 0xE000)
                        Fail("a \\u surrogate without its pair");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    Fail("a \\u surrogate without its pair");
                }
                AppendUtf8(out, cp);
                break;
            }
            default:
                Fail(std::string("an unknown escape \\") + e);
            }
        }
    }

    std::string_view s_;
    const std::string& what_;
    size_t at_ = 0;
    int line_ = 1;
};

}  // namespace

JsonValue ParseJson(std::string_view text, const std::string& what) {
    return Parser(text, what).Document();
}

}  // namespace mkpatch
