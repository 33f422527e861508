// INF files: the parser for Windows' INF syntax, the SetupAPI functions that read
// INFs, and the search of the installed OEM INFs for a device's hardware ID.
#include "inf.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "core.h"
#include "lasterror.h"
#include "paths.h"

namespace winsim {

// Shared with oeminf.cpp: whether a file loads as an INF_STYLE_WIN4 INF (0), else
// the error SetupOpenInfFileA would give.
DWORD inf_check_file(const std::string &host_path);
// Shared with oeminf.cpp: the first field of a [Version] key, "" when absent.
std::string inf_version_value(const std::string &host_path, const char *key);

namespace {

struct InfLine {
    bool has_key = false;
    std::string key;                  // as written, strings not yet substituted
    std::vector<std::string> values;  // fields 1..n, quotes resolved
    unsigned line_no = 0;
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

std::string lower(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

bool iequals(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

void trim(std::string &s)
{
    size_t b = s.find_first_not_of(" \t\f\v\r");
    size_t e = s.find_last_not_of(" \t\f\v\r");
    s = b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

struct InfData {
    std::vector<InfSection> sections;
    std::map<std::string, size_t> index;  // lower-cased name -> section

    const InfSection *section(const std::string &name) const
    {
        auto it = index.find(lower(name));
        return it == index.end() ? nullptr : &sections[it->second];
    }

    // The [Strings] value of `key`, false when there is none.
    bool string_value(const std::string &key, std::string &out) const
    {
        const InfSection *s = section("Strings");
        if (!s)
            return false;
        for (const InfLine &line : s->lines) {
            if (line.has_key && iequals(line.key, key)) {
                out.clear();
                for (size_t i = 0; i < line.values.size(); i++)
                    out += (i ? "," : "") + line.values[i];
                return true;
            }
        }
        return false;
    }

    // %strkey% substitution, done when a field is read so that [Strings] may come
    // anywhere in the file. "%%" is a literal '%'; an unknown %key% (a DIRID such as
    // %13%, say) stays as written.
    std::string expand(const std::string &text) const
    {
        std::string out;
        size_t i = 0;
        while (i < text.size()) {
            if (text[i] != '%') {
                out += text[i++];
                continue;
            }
            size_t close = text.find('%', i + 1);
            if (close == std::string::npos) {
                out += text.substr(i);
                break;
            }
            std::string key = text.substr(i + 1, close - i - 1);
            std::string value;
            if (key.empty())
                out += '%';
            else if (string_value(key, value))
                out += value;
            else
                out += text.substr(i, close - i + 1);
            i = close + 1;
        }
        return out;
    }

    // The key a line is found by: its key, or the value of a line that has only one.
    bool line_key(const InfLine &line, std::string &out) const
    {
        if (line.has_key)
            out = expand(line.key);
        else if (line.values.size() == 1)
            out = expand(line.values[0]);
        else
            return false;
        return true;
    }

    // Field 0 is the key (empty for a line without one), 1.. the values.
    bool field(const InfLine &line, size_t index, std::string &out) const
    {
        if (index == 0) {
            if (!line_key(line, out))
                out.clear();
            return true;
        }
        if (index > line.values.size())
            return false;
        out = expand(line.values[index - 1]);
        return true;
    }

    const InfLine *find_line(const std::string &sect, const std::string &key) const
    {
        const InfSection *s = section(sect);
        if (!s)
            return nullptr;
        std::string k;
        for (const InfLine &line : s->lines)
            if (line_key(line, k) && iequals(k, key))
                return &line;
        return nullptr;
    }

    std::string value_of(const std::string &sect, const std::string &key, size_t index) const
    {
        std::string out;
        const InfLine *line = find_line(sect, key);
        if (!line || !field(*line, index, out))
            out.clear();
        return out;
    }
};

// One physical line without its comment; `open_quote` tells whether it ended inside
// a quoted string (then a final backslash is text, not a continuation).
std::string strip_comment(const std::string &line, bool &open_quote)
{
    open_quote = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"')
            open_quote = !open_quote;
        else if (line[i] == ';' && !open_quote)
            return line.substr(0, i);
    }
    return line;
}

// Splits a logical line into key and fields. Outside quotes, the first '=' before any
// comma ends the key and commas end fields; whitespace around a field is dropped.
// Inside quotes everything is kept, and "" is one quote.
InfLine parse_line(const std::string &text)
{
    InfLine line;
    std::vector<std::string> fields;
    std::string cur;
    size_t keep = 0;       // cur's length without unquoted trailing whitespace
    bool started = false;  // something other than leading whitespace was seen
    bool in_quotes = false;
    bool after_key = false;
    bool anything_after_key = false;
    auto finish = [&] {
        fields.push_back(cur.substr(0, keep));
        cur.clear();
        keep = 0;
        started = false;
    };
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (in_quotes) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                cur += '"';
                i++;
            } else if (c == '"') {
                in_quotes = false;
            } else {
                cur += c;
            }
            keep = cur.size();
            continue;
        }
        if (c != ' ' && c != '\t')
            anything_after_key = true;
        if (c == '"') {
            in_quotes = true;
            started = true;
            keep = cur.size();
        } else if (c == '=' && !line.has_key && fields.empty()) {
            line.has_key = true;
            line.key = cur.substr(0, keep);
            cur.clear();
            keep = 0;
            started = false;
            after_key = true;
            anything_after_key = false;
        } else if (c == ',') {
            finish();
        } else if (c == ' ' || c == '\t') {
            if (started)
                cur += c;
        } else {
            cur += c;
            started = true;
            keep = cur.size();
        }
    }
    // "Key =" has no values at all; "Key = ," has two empty ones.
    if (!after_key || anything_after_key)
        finish();
    line.values = std::move(fields);
    return line;
}

// Text of the file as UTF-8: INFs come in ANSI/UTF-8 or, with a byte order mark,
// UTF-16LE.
std::string decode(const std::string &raw)
{
    if (raw.size() >= 3 && (unsigned char)raw[0] == 0xEF && (unsigned char)raw[1] == 0xBB &&
        (unsigned char)raw[2] == 0xBF)
        return raw.substr(3);
    if (raw.size() < 2 || (unsigned char)raw[0] != 0xFF || (unsigned char)raw[1] != 0xFE)
        return raw;
    std::string out;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
        uint32_t c = (unsigned char)raw[i] | ((unsigned char)raw[i + 1] << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size()) {
            uint32_t lo = (unsigned char)raw[i + 2] | ((unsigned char)raw[i + 3] << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

DWORD parse_inf(const std::string &text, InfData &out, UINT *error_line)
{
    std::vector<std::string> phys;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        phys.push_back(l);
    }
    long current = -1;
    size_t i = 0;
    while (i < phys.size()) {
        unsigned first = (unsigned)i + 1;
        std::string logical;
        for (;;) {
            bool open_quote;
            std::string part = strip_comment(phys[i++], open_quote);
            size_t end = part.find_last_not_of(" \t\f\v");
            part.resize(end == std::string::npos ? 0 : end + 1);
            if (!part.empty() && part.back() == '\\' && !open_quote && i < phys.size()) {
                part.pop_back();
                logical += part;
                continue;
            }
            logical += part;
            break;
        }
        trim(logical);
        if (logical.empty())
            continue;
        auto error = [&](DWORD e) {
            if (error_line)
                *error_line = first;
            return e;
        };
        if (logical[0] == '[') {
            size_t close = logical.find(']');
            if (close == std::string::npos)
                return error(ERROR_BAD_SECTION_NAME_LINE);
            std::string name = logical.substr(1, close - 1);
            trim(name);
            if (name.size() > 255)
                return error(ERROR_SECTION_NAME_TOO_LONG);
            // A section written twice is one section with the lines of both.
            auto it = out.index.find(lower(name));
            if (it == out.index.end()) {
                it = out.index.emplace(lower(name), out.sections.size()).first;
                out.sections.push_back(InfSection{name, {}});
            }
            current = (long)it->second;
            continue;
        }
        if (current < 0)
            return error(ERROR_EXPECTED_SECTION_NAME);
        InfLine line = parse_line(logical);
        line.line_no = first;
        out.sections[current].lines.push_back(std::move(line));
    }
    return 0;
}

DWORD load_inf(const std::string &host_path, const char *inf_class, DWORD style, InfData &out, UINT *error_line)
{
    if (!(style & INF_STYLE_WIN4))
        return ERROR_WRONG_INF_STYLE;  // old NT-style INFs are not read here
    struct stat st;
    if (host_path.empty())
        return ERROR_FILE_NOT_FOUND;
    if (stat(host_path.c_str(), &st) != 0)
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    if (S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    std::ifstream f(host_path, std::ios::binary);
    if (!f)
        return ERROR_ACCESS_DENIED;
    std::ostringstream raw;
    raw << f.rdbuf();
    if (DWORD e = parse_inf(decode(raw.str()), out, error_line))
        return e;
    std::string signature = out.value_of("Version", "Signature", 1);
    if (!iequals(signature, "$Windows NT$") && !iequals(signature, "$Chicago$"))
        return ERROR_WRONG_INF_STYLE;
    if (inf_class && *inf_class && !iequals(out.value_of("Version", "Class", 1), inf_class))
        return ERROR_CLASS_MISMATCH;
    return 0;
}

struct InfObject : Object {
    InfData data;
    const char *kind() const override { return "Inf"; }
};

// "mm/dd/yyyy" as yyyymmdd, 0 when it is not a date.
long date_key(const std::string &date)
{
    unsigned m = 0, d = 0, y = 0;
    if (sscanf(date.c_str(), "%u/%u/%u", &m, &d, &y) != 3 || m < 1 || m > 12 || d < 1 || d > 31)
        return 0;
    return (long)y * 10000 + m * 100 + d;
}

// "a.b.c.d" as four numbers, missing parts 0.
std::vector<unsigned long> version_key(const std::string &version)
{
    std::vector<unsigned long> v(4, 0);
    const char *p = version.c_str();
    for (size_t i = 0; i < 4 && *p; i++) {
        v[i] = strtoul(p, const_cast<char **>(&p), 10);
        if (*p != '.')
            break;
        p++;
    }
    return v;
}

unsigned long oem_number(const std::string &name) { return strtoul(name.c_str() + 3, nullptr, 10); }

// The first model line of the INF that lists `hardware_id` (as its hardware ID or a
// compatible one); fills in the description.
bool find_model(const InfData &inf, const std::string &hardware_id, DriverMatch &m)
{
    const InfSection *mfg = inf.section("Manufacturer");
    if (!mfg)
        return false;
    for (const InfLine &maker : mfg->lines) {
        std::string models;
        if (!inf.field(maker, 1, models) || models.empty())
            continue;
        // "%Mfg% = Models, NTx86, NTamd64": the section for this machine's platform
        // first, then the undecorated one, then the rest.
        std::vector<std::string> sections, others;
        for (size_t i = 2; i <= maker.values.size(); i++) {
            std::string deco;
            inf.field(maker, i, deco);
            if (deco.empty())
                continue;
            (strncasecmp(deco.c_str(), "NTamd64", 7) == 0 ? sections : others).push_back(models + "." + deco);
        }
        sections.push_back(models);
        sections.insert(sections.end(), others.begin(), others.end());
        for (const std::string &section_name : sections) {
            const InfSection *section = inf.section(section_name);
            if (!section)
                continue;
            // "%Desc% = InstallSection, HardwareId, CompatibleId..."
            for (const InfLine &model : section->lines) {
                for (size_t i = 2; i <= model.values.size(); i++) {
                    std::string id;
                    if (inf.field(model, i, id) && iequals(id, hardware_id)) {
                        inf.field(model, 0, m.description);
                        return true;
                    }
                }
            }
        }
    }
    return false;
}

}  // namespace

DWORD inf_check_file(const std::string &host_path)
{
    InfData data;
    return load_inf(host_path, nullptr, INF_STYLE_WIN4, data, nullptr);
}

std::string inf_version_value(const std::string &host_path, const char *key)
{
    InfData data;
    if (load_inf(host_path, nullptr, INF_STYLE_WIN4, data, nullptr) != 0)
        return "";
    return data.value_of("Version", key, 1);
}

std::vector<DriverMatch> find_drivers_for_hardware_id(const std::string &hardware_id)
{
    std::vector<DriverMatch> found;
    std::string dir = inf_dir_host();
    DIR *d = opendir(dir.c_str());
    if (!d)
        return found;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (wildcard_match("oem*.inf", e->d_name))
            names.push_back(e->d_name);
    closedir(d);

    for (const std::string &name : names) {
        InfData inf;
        DriverMatch m;
        if (load_inf(dir + "/" + name, nullptr, INF_STYLE_WIN4, inf, nullptr) == 0 &&
            find_model(inf, hardware_id, m)) {
            m.inf_name = name;
            m.driver_date = inf.value_of("Version", "DriverVer", 1);
            m.driver_version = inf.value_of("Version", "DriverVer", 2);
            found.push_back(m);
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const DriverMatch &a, const DriverMatch &b) {
        long da = date_key(a.driver_date), db = date_key(b.driver_date);
        if (da != db)
            return da > db;
        auto va = version_key(a.driver_version), vb = version_key(b.driver_version);
        if (va != vb)
            return va > vb;
        return oem_number(a.inf_name) < oem_number(b.inf_name);
    });
    return found;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HINF WINAPI SetupOpenInfFileA(PCSTR file_name, PCSTR inf_class, DWORD style, PUINT error_line)
{
    if (DWORD e = api_enter("SetupOpenInfFileA"))
        return fail(e, (HINF)INVALID_HANDLE_VALUE);
    if (!file_name || !*file_name)
        return fail(ERROR_INVALID_PARAMETER, (HINF)INVALID_HANDLE_VALUE);
    Guard g(lock);
    // A bare file name is one of the installed INFs.
    std::string name = file_name;
    bool bare = name.find_first_of("\\/:") == std::string::npos;
    std::string host = to_host_path(bare ? windows_dir() + "\\INF\\" + name : name);
    auto obj = std::make_shared<InfObject>();
    if (DWORD e = load_inf(host, inf_class, style, obj->data, error_line))
        return fail(e, (HINF)INVALID_HANDLE_VALUE);
    return succeed(handle_add(obj));
}

void WINAPI SetupCloseInfFile(HINF inf)
{
    if (api_enter("SetupCloseInfFile", inf))
        return;
    Guard g(lock);
    if (handle_get_as<InfObject>(inf))
        handle_close(inf);
}

BOOL WINAPI SetupFindFirstLineA(HINF inf, PCSTR section, PCSTR key, PINFCONTEXT context)
{
    if (DWORD e = api_enter("SetupFindFirstLineA", inf))
        return fail(e, FALSE);
    if (!section || !context)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Guard g(lock);
    auto obj = handle_get_as<InfObject>(inf);
    if (!obj)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    const InfData &data = obj->data;
    auto it = data.index.find(lower(section));
    if (it == data.index.end())
        return fail(ERROR_LINE_NOT_FOUND, FALSE);
    const InfSection &s = data.sections[it->second];
    for (size_t i = 0; i < s.lines.size(); i++) {
        std::string k;
        if (key && !(data.line_key(s.lines[i], k) && iequals(k, key)))
            continue;
        context->Inf = inf;
        context->CurrentInf = inf;
        context->Section = (UINT)it->second;
        context->Line = (UINT)i;
        return succeed(TRUE);
    }
    return fail(ERROR_LINE_NOT_FOUND, FALSE);
}

BOOL WINAPI SetupGetStringFieldA(PINFCONTEXT context, DWORD index, PSTR buf, DWORD size, PDWORD required)
{
    if (DWORD e = api_enter("SetupGetStringFieldA", context ? context->Inf : nullptr))
        return fail(e, FALSE);
    if (!context)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Guard g(lock);
    auto obj = handle_get_as<InfObject>(context->CurrentInf ? context->CurrentInf : context->Inf);
    if (!obj)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    const InfData &data = obj->data;
    if (context->Section >= data.sections.size() || context->Line >= data.sections[context->Section].lines.size())
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string value;
    if (!data.field(data.sections[context->Section].lines[context->Line], index, value))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD need = (DWORD)value.size() + 1;
    if (required)
        *required = need;
    if (!buf)  // a question about the size only
        return succeed(TRUE);
    if (size < need)
        return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    memcpy(buf, value.c_str(), need);
    return succeed(TRUE);
}

}  // extern "C"
