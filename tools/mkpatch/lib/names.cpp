// Code page conversion through the host: iconv on Linux (glibc), the
// conversion functions of the system on Windows. Both are asked for exact
// conversions only, so a name that cannot be held is refused rather than
// silently changed into another file's name.
#include "names.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <utility>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <locale.h>
#include <wctype.h>
#endif

namespace mkpatch {
namespace {

#ifdef _WIN32

std::optional<std::wstring> Widen(std::string_view bytes, UINT cp) {
    if (bytes.empty())
        return std::wstring();
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), (int)bytes.size(), nullptr, 0);
    if (n <= 0)
        return std::nullopt;
    std::wstring w(n, L'\0');
    MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), (int)bytes.size(), w.data(), n);
    return w;
}

std::optional<std::string> Narrow(const std::wstring& w, UINT cp) {
    if (w.empty())
        return std::string();
    // WC_NO_BEST_FIT_CHARS and the used-default flag are not allowed for UTF-8
    bool exact = cp != CP_UTF8;
    DWORD flags = exact ? WC_NO_BEST_FIT_CHARS : WC_ERR_INVALID_CHARS;
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(cp, flags, w.data(), (int)w.size(), nullptr, 0, nullptr,
                                exact ? &usedDefault : nullptr);
    if (n <= 0 || usedDefault)
        return std::nullopt;
    std::string s(n, '\0');
    WideCharToMultiByte(cp, flags, w.data(), (int)w.size(), s.data(), n, nullptr,
                        exact ? &usedDefault : nullptr);
    if (usedDefault)
        return std::nullopt;
    return s;
}

std::optional<std::string> Convert(std::string_view bytes, UINT from, UINT to) {
    auto w = Widen(bytes, from);
    if (!w)
        return std::nullopt;
    return Narrow(*w, to);
}

bool CodePageKnown(unsigned cp) {
    CPINFO info;
    return GetCPInfo(cp, &info) != 0;
}

bool IsLead(unsigned cp, unsigned char b) {
    return IsDBCSLeadByteEx(cp, b) != 0;
}

#else

std::string IconvName(unsigned cp) {
    return "CP" + std::to_string(cp);
}

// Converts all of bytes, or nothing: an invalid or unconvertible sequence
// (EILSEQ) and a cut-off one (EINVAL) both fail.
std::optional<std::string> Convert(std::string_view bytes, const std::string& from,
                                   const std::string& to) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == (iconv_t)-1)
        return std::nullopt;
    std::string out(bytes.size() * 4 + 8, '\0');
    std::vector<char> in(bytes.begin(), bytes.end());
    char* ip = in.data();
    size_t il = in.size();
    char* op = out.data();
    size_t ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    bool ok = r != (size_t)-1 && il == 0;
    if (ok)
        ok = iconv(cd, nullptr, nullptr, &op, &ol) != (size_t)-1;
    // glibc counts characters it could only approximate in r
    ok = ok && r == 0;
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    out.resize(out.size() - ol);
    return out;
}

bool CodePageKnown(unsigned cp) {
    iconv_t cd = iconv_open("UTF-8", IconvName(cp).c_str());
    if (cd == (iconv_t)-1)
        return false;
    iconv_close(cd);
    return true;
}

// A byte that starts a character but is not one by itself.
bool IsLead(unsigned cp, unsigned char b) {
    iconv_t cd = iconv_open("UTF-8", IconvName(cp).c_str());
    char in[1] = {(char)b};
    char out[16];
    char* ip = in;
    size_t il = 1;
    char* op = out;
    size_t ol = sizeof out;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    bool lead = r == (size_t)-1 && errno == EINVAL;
    iconv_close(cd);
    return lead;
}

#endif

// The core takes a plain function as the lead-byte test, which can carry
// no table of its own; so each code page other than 936 gets a slot of
// its own, a table filled once and a function reading only that table.
constexpr int kLeadSlots = 8;
struct LeadSlot {
    unsigned codePage = 0;  // 0: free
    bool lead[256] = {};
};
LeadSlot g_leadSlots[kLeadSlots];
std::mutex g_leadSlotsLock;

template <int Slot>
int IsLeadInSlot(unsigned char b) {
    return g_leadSlots[Slot].lead[b];
}

template <int... Slots>
constexpr std::array<LeadBytePredicate, kLeadSlots> SlotFunctions(std::integer_sequence<int, Slots...>) {
    return {IsLeadInSlot<Slots>...};
}
constexpr auto kSlotFunctions = SlotFunctions(std::make_integer_sequence<int, kLeadSlots>());

// The predicate of code page number, its table made on first use.
LeadBytePredicate SlotFor(unsigned number, const bool (&lead)[256]) {
    std::lock_guard<std::mutex> hold(g_leadSlotsLock);
    for (int i = 0; i < kLeadSlots; i++) {
        LeadSlot& slot = g_leadSlots[i];
        if (slot.codePage == number)
            return kSlotFunctions[i];
        if (slot.codePage == 0) {
            std::copy(std::begin(lead), std::end(lead), slot.lead);
            slot.codePage = number;
            return kSlotFunctions[i];
        }
    }
    throw std::invalid_argument("more than " + std::to_string(kLeadSlots) +
                                " code pages in one run");
}

// CON, NUL.txt, com1.log: Windows opens the device, whatever the extension.
bool IsDeviceName(std::string_view part) {
    std::string stem(part.substr(0, part.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = (char)((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// Characters that Windows file names cannot hold, and the trailing dots and
// spaces it strips (so "a." would land on "a").
bool ComponentIsPlain(std::string_view part, std::string* why) {
    for (char ch : part) {
        unsigned char c = (unsigned char)ch;
        if (c < 0x20 || std::string_view("<>:\"|?*\\").find(ch) != std::string_view::npos) {
            *why = "holds a character Windows file names cannot hold";
            return false;
        }
    }
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
        *why = "ends a name part with a dot or a space, which Windows drops";
        return false;
    }
    if (IsDeviceName(part)) {
        *why = "is a reserved device name on Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9, "
               "with any extension)";
        return false;
    }
    return true;
}

}  // namespace

CodePage::CodePage(unsigned number) : number_(number) {
    if (!CodePageKnown(number))
        throw std::invalid_argument("code page " + std::to_string(number) +
                                    " is not available on this host");
    if (number == 936) {
        isLead_ = IsLeadByte936;  // the same test the core's own tests use
        return;
    }
    bool lead[256] = {};
    for (unsigned b = 0x80; b < 256; b++)
        lead[b] = IsLead(number, (unsigned char)b);
    isLead_ = SlotFor(number, lead);
}

CodePage::~CodePage() = default;

std::optional<std::string> CodePage::FromUtf8(std::string_view utf8) const {
#ifdef _WIN32
    return Convert(utf8, CP_UTF8, number_);
#else
    return Convert(utf8, "UTF-8", IconvName(number_));
#endif
}

std::optional<std::string> CodePage::ToUtf8(std::string_view bytes) const {
#ifdef _WIN32
    return Convert(bytes, number_, CP_UTF8);
#else
    return Convert(bytes, IconvName(number_), "UTF-8");
#endif
}

LeadBytePredicate CodePage::LeadBytes() const {
    return isLead_;
}

std::optional<std::string> MakeRecordName(std::string_view relUtf8, const CodePage& cp,
                                          std::string* why) {
    if (!IsUtf8(relUtf8)) {
        // a Linux name in a legacy encoding (GBK, Latin-1): what it means
        // is unknown, so no code page can be asked for it
        *why = "is not UTF-8; rename it, or convert the folder's names to UTF-8 (convmv)";
        return std::nullopt;
    }
    size_t start = 0;
    for (;;) {
        size_t slash = relUtf8.find('/', start);
        std::string_view part = relUtf8.substr(start, slash == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : slash - start);
        if (!ComponentIsPlain(part, why))
            return std::nullopt;
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    auto bytes = cp.FromUtf8(relUtf8);
    if (!bytes) {
        *why = "cannot be written in code page " + std::to_string(cp.Number());
        return std::nullopt;
    }
    for (char& c : *bytes) {
        if (c == '/')
            c = '\\';
    }
    // a trail byte can be 0x2F ('/') only in code pages we never target;
    // re-check the whole name the way the applier will
    if (!CheckRecordName(bytes->data(), bytes->size(), cp.LeadBytes())) {
        *why = "is not a plain name inside the target folder";
        return std::nullopt;
    }
    if (bytes->size() > kMaxNameBytes) {
        *why = "is " + std::to_string(bytes->size()) + " bytes long in code page " +
               std::to_string(cp.Number()) + "; at most " + std::to_string(kMaxNameBytes) +
               " fit a 259-byte path";
        return std::nullopt;
    }
    return bytes;
}

std::string DisplayName(std::string_view recordName, const CodePage& cp) {
    if (auto u = cp.ToUtf8(recordName))
        return *u;
    std::string out;
    char buf[8];
    for (char ch : recordName) {
        unsigned char c = (unsigned char)ch;
        if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

std::optional<std::string> HostRelativePath(std::string_view recordName, const CodePage& cp) {
    LeadBytePredicate lead = cp.LeadBytes();
    std::string bytes(recordName);
    for (size_t i = 0; i < bytes.size(); i++) {
        if (lead((unsigned char)bytes[i]) && i + 1 < bytes.size())
            i++;  // a trail byte 0x5C is no separator
        else if (bytes[i] == '\\')
            bytes[i] = '/';
    }
    return cp.ToUtf8(bytes);
}

#ifdef _WIN32

std::string FoldName(std::string_view utf8) {
    auto w = Widen(utf8, CP_UTF8);
    if (!w || w->empty())
        return std::string(utf8);
    CharUpperBuffW(w->data(), (DWORD)w->size());
    auto back = Narrow(*w, CP_UTF8);
    return back ? *back : std::string(utf8);
}

#else

std::string FoldName(std::string_view utf8) {
    static locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = (unsigned char)utf8[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || n > utf8.size() - i) {  // not UTF-8: the byte as it is
            out += (char)c;
            i++;
            continue;
        }
        char32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; k++)
            cp = (cp << 6) | ((unsigned char)utf8[i + k] & 0x3F);
        // simple one-to-one upper-casing, as the table NTFS keeps
        if (cp < 0x80)
            cp = (cp >= 'a' && cp <= 'z') ? cp - 'a' + 'A' : cp;
        else if (utf8Locale)
            cp = (char32_t)towupper_l((wint_t)cp, utf8Locale);
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
        i += n;
    }
    return out;
}

#endif

}  // namespace mkpatch
