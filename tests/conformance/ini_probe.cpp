// INI probe: the same cases through whichever GetPrivateProfileStringA and
// WritePrivateProfileStringA it is linked with. Built for the emulation and for
// Windows (run under Wine); the two outputs must be equal.
//
// usage: ini_probe DIR   where DIR ends in a path separator and names an empty
// folder in the platform's own path syntax.
#include "../../src/platform/win32api.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string dir;

std::string shown(const char* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

void makeFile(const char* name, const char* contents, size_t length = 0) {
    std::string path = dir + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::printf("cannot write %s\n", path.c_str());
        return;
    }
    std::fwrite(contents, 1, length ? length : std::strlen(contents), f);
    std::fclose(f);
}

// The file's bytes as a write left them.
void dump(const char* label, const char* name) {
    std::string path = dir + name, bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            bytes.append(chunk, n);
        std::fclose(f);
    }
    std::printf("%-28s file=[%s]\n", label, shown(bytes.data(), bytes.size()).c_str());
}

// Reads with a canary-filled buffer and prints the count, the text and whether
// anything past the text was touched.
void get(const char* label, const char* file, const char* section, const char* key,
         const char* fallback, DWORD size = 64) {
    char buffer[256];
    std::memset(buffer, 0xbd, sizeof buffer);
    std::string path = file[0] ? dir + file : std::string();
    DWORD n = GetPrivateProfileStringA(section, key, fallback, buffer, size,
                                       file[0] ? path.c_str() : "kestrin_probe_windir.ini");
    size_t textLength = strnlen(buffer, size);
    size_t touched = 0;
    for (size_t i = 0; i < sizeof buffer; ++i)
        if (static_cast<unsigned char>(buffer[i]) != 0xbd)
            touched = i + 1;
    std::printf("%-28s n=%lu text=[%s] touched=%zu\n", label, static_cast<unsigned long>(n),
                textLength < size ? shown(buffer, textLength).c_str() : "(unterminated)", touched);
}

void put(const char* label, const char* file, const char* section, const char* key,
         const char* value) {
    std::string path = file[0] ? dir + file : std::string("kestrin_probe_windir.ini");
    BOOL ok = WritePrivateProfileStringA(section, key, value, path.c_str());
    std::printf("%-28s ok=%d\n", label, ok ? 1 : 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ini_probe DIR\n");
        return 2;
    }
    dir = argv[1];

    makeFile("blanks.ini", "  [ spaced ]  \r\n   key   =   value with  inner   \r\n"
                           "\tTabbed\t=\ttab\t\r\n=nameless\r\nnovalue\r\n");
    get("blank trimmed", "blanks.ini", " spaced ", "key", "d");
    get("section trimmed query", "blanks.ini", "spaced", "key", "d");
    get("key trimmed query", "blanks.ini", " spaced ", "  key  ", "d");
    get("tabs", "blanks.ini", " spaced ", "tabbed", "d");
    get("key without =", "blanks.ini", " spaced ", "novalue", "d");
    get("empty key name", "blanks.ini", " spaced ", "", "d");

    makeFile("quotes.ini", "[q]\r\ndouble=\"quoted\"\r\nsingle='single'\r\nmixed=\"mixed'\r\n"
                           "lone=\"\r\nempty=\"\"\r\ninner=a \"b\" c\r\nlead=\"abc\r\n");
    get("double quotes", "quotes.ini", "q", "double", "d");
    get("single quotes", "quotes.ini", "q", "single", "d");
    get("mismatched quotes", "quotes.ini", "q", "mixed", "d");
    get("lone quote", "quotes.ini", "q", "lone", "d");
    get("empty quotes", "quotes.ini", "q", "empty", "d");
    get("inner quotes", "quotes.ini", "q", "inner", "d");
    get("leading quote only", "quotes.ini", "q", "lead", "d");
    get("quoted cut 4", "quotes.ini", "q", "double", "d", 4);
    get("quoted cut 6", "quotes.ini", "q", "double", "d", 6);
    get("quoted cut 7", "quotes.ini", "q", "double", "d", 7);
    get("quoted default", "quotes.ini", "q", "missing", "\"dq\"");

    makeFile("case.ini", "[MiXeD Case]\r\nKeY=upper\r\n");
    get("section case", "case.ini", "mixed case", "key", "d");
    get("key case", "case.ini", "MIXED CASE", "KEY", "d");

    makeFile("dups.ini", "[dup]\r\na=first\r\na=second\r\n[other]\r\nb=x\r\n[DUP]\r\na=third\r\n"
                         "c=only in second\r\n");
    get("duplicate key", "dups.ini", "dup", "a", "d");
    get("key in second section", "dups.ini", "dup", "c", "d");

    makeFile("lf.ini", "[lf]\nk=lf value\nk2=two\n");
    get("lf line ends", "lf.ini", "lf", "k", "d");
    get("lf second line", "lf.ini", "lf", "k2", "d");
    makeFile("nofinal.ini", "[n]\r\nlast=no line feed");
    get("no final line feed", "nofinal.ini", "n", "last", "d");

    makeFile("comments.ini", "; leading comment\r\n[c]\r\n;k=commented\r\n# hash=x\r\nk=real\r\n"
                             "v=value ; not a comment\r\n");
    get("commented key", "comments.ini", "c", "k", "d");
    get("comment as key", "comments.ini", "c", ";k", "d");
    get("hash line", "comments.ini", "c", "# hash", "d");
    get("semicolon in value", "comments.ini", "c", "v", "d");

    makeFile("empty.ini", "[e]\r\nempty=\r\nblank=   \r\none=x\r\n");
    get("empty value", "empty.ini", "e", "empty", "default");
    get("blank value", "empty.ini", "e", "blank", "default");
    get("one character", "empty.ini", "e", "one", "default");

    makeFile("long.ini", "[l]\r\nk=abcdefghijklmnopqrstuvwxyz\r\n");
    get("cut to size 5", "long.ini", "l", "k", "d", 5);
    get("cut to size 1", "long.ini", "l", "k", "d", 1);
    get("exact fit", "long.ini", "l", "k", "d", 27);
    get("one short", "long.ini", "l", "k", "d", 26);
    get("default cut", "long.ini", "l", "missing", "defaultvalue", 4);

    get("missing file", "nosuch.ini", "s", "k", "fallback");
    get("missing file quoted dflt", "nosuch.ini", "s", "k", "\"fallback\"");
    get("missing section", "long.ini", "nosuch", "k", "fallback");
    get("missing key", "long.ini", "l", "nosuch", "fallback");
    get("default trailing spaces", "long.ini", "l", "nosuch", "spaces   ");
    get("null default", "long.ini", "l", "nosuch", nullptr);

    makeFile("badsection.ini", "[open\r\nk=v\r\n[s]\r\nk=in s\r\n");
    get("unclosed section", "badsection.ini", "open", "k", "d");
    get("after unclosed", "badsection.ini", "s", "k", "d");

    put("write new file", "w.ini", "Kestrin Settings", "OpenLog", "Application");
    put("write second key", "w.ini", "Kestrin Settings", "ParseString", "%1 - %2");
    put("overwrite", "w.ini", "kestrin settings", "openlog", "Security");
    put("write empty", "w.ini", "Kestrin Settings", "Empty", "");
    put("write leading blanks", "w.ini", "Kestrin Settings", "Blanks", "   padded  ");
    put("write other section", "w.ini", "Other", "k", "v");
    get("read overwritten", "w.ini", "Kestrin Settings", "OpenLog", "d");
    get("read template", "w.ini", "Kestrin Settings", "ParseString", "d");
    get("read written empty", "w.ini", "Kestrin Settings", "Empty", "d");
    get("read written blanks", "w.ini", "Kestrin Settings", "Blanks", "d");
    get("read other section", "w.ini", "Other", "k", "d");
    put("delete key", "w.ini", "Kestrin Settings", "Empty", nullptr);
    get("read deleted key", "w.ini", "Kestrin Settings", "Empty", "gone");
    put("delete section", "w.ini", "Other", nullptr, nullptr);
    get("read deleted section", "w.ini", "Other", "k", "gone");
    get("section survives", "w.ini", "Kestrin Settings", "ParseString", "d");

    makeFile("keep.ini", "; keep me\r\n[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n");
    put("insert into first", "keep.ini", "a", "z", "3");
    get("inserted", "keep.ini", "a", "z", "d");
    get("neighbour kept", "keep.ini", "b", "y", "d");

    put("write missing folder", "nosuchdir/x.ini", "s", "k", "v");

    dump("layout after writes", "w.ini");
    dump("layout after insert", "keep.ini");
    makeFile("layout.ini", "; top comment\r\n\r\ntop=1\r\n\r\n  [ A ]  \r\n\r\nk = v \r\n"
                           "=\r\n=\r\nbare\r\n\r\n[B]\r\n");
    put("write into a spaced section", "layout.ini", "a", "new", "  x");
    dump("layout of a spaced file", "layout.ini");

    makeFile("cr.ini", "top=before any section\r[A]\rk=cr only\r\r[B]\rk=b\r");
    get("cr only line ends", "cr.ini", "A", "k", "d");
    get("after cr only", "cr.ini", "B", "k", "d");
    get("key before any section", "cr.ini", "", "top", "d");
    put("write cr file", "cr.ini", "B", "k2", "v2");
    dump("layout of a cr file", "cr.ini");

    static const char wide[] = "\xFF\xFE[\0W\0]\0\r\0\n\0k\0=\0\xE9\0t\0\xE9\0\r\0\n\0";
    makeFile("wide.ini", wide, sizeof wide - 1);
    get("utf-16 value", "wide.ini", "w", "k", "d");
    put("write utf-16 file", "wide.ini", "W", "added", "yes");
    dump("layout of a utf-16 file", "wide.ini");

    put("write windows dir", "", "s", "k", "in windir");
    get("read windows dir", "", "s", "k", "d");
    return 0;
}
