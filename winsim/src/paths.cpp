// Windows paths on the host: the textual rules of full path names (the same ones
// GetFullPathNameA applies), the process's Windows current directory, and the mapping
// of drives to folders under the root.
#include "paths.h"

#include <ctype.h>
#include <dirent.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core.h"

namespace winsim {

// Shared with files.cpp, which gives these to the API functions.
std::string full_windows_path(const std::string &path);
std::string current_directory();
void set_current_directory(const std::string &full);

namespace {

// A full path taken apart: its root ("C:\", "\\server\share", "\\.\"), its names,
// and whether it ended in a separator.
struct PathParts {
    std::string root;
    std::vector<std::string> parts;
    bool trailing = false;
};

bool is_sep(char c) { return c == '\\' || c == '/'; }

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// The Windows current directory. Kept here and never pushed to the host with chdir:
// the host's working directory belongs to the whole process (and to the tests'
// runner), and Windows programs only ever see this one.
std::string &current_dir_storage()
{
    static auto *dir = new std::string;
    return *dir;
}

std::string host_cwd()
{
    std::string buf(4096, '\0');
    if (!getcwd(&buf[0], buf.size()))
        return "/";
    buf.resize(strlen(buf.c_str()));
    return buf;
}

// Splits an absolute host path into its names, resolving "." and ".." textually.
std::vector<std::string> host_parts(const std::string &path)
{
    std::string abs = path.empty() || path[0] != '/' ? host_cwd() + "/" + path : path;
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < abs.size()) {
        size_t end = abs.find('/', pos);
        if (end == std::string::npos)
            end = abs.size();
        std::string name = abs.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(name);
    }
    return parts;
}

// The entry of `dir` that `name` designates on a case-insensitive file system: the
// exact spelling when it exists, else the first case-insensitive match in name order
// (so the choice does not depend on the directory's hash order); "" when none.
std::string find_entry(const std::string &dir, const std::string &name)
{
    struct stat st;
    std::string exact = (dir.empty() ? std::string() : dir) + "/" + name;
    if (lstat(exact.c_str(), &st) == 0)
        return name;
    DIR *d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d)
        return "";
    std::string best;
    while (dirent *e = readdir(d)) {
        if (strcasecmp(e->d_name, name.c_str()) == 0 && (best.empty() || best > e->d_name))
            best = e->d_name;
    }
    closedir(d);
    return best;
}

// "<dir>/<name>" resolved case-insensitively, created when missing.
std::string ensure_child(const std::string &dir, const char *name)
{
    std::string found = find_entry(dir, name);
    std::string path = dir + "/" + (found.empty() ? std::string(name) : found);
    if (found.empty())
        mkdir(path.c_str(), 0755);
    return path;
}

std::string drive_c_host()
{
    std::string c = root_dir() + "/drive_c";
    mkdir(c.c_str(), 0755);
    return c;
}

// Appends the names of `rest` ("a\b\..\c") to `parts` under Windows' rules: runs of
// separators count as one, "." is dropped, ".." goes up but never above the root,
// and the last name loses trailing dots and spaces. Tells whether the result names a
// folder by its trailing separator.
bool apply_relative(std::vector<std::string> &parts, const std::string &rest)
{
    bool trailing = !rest.empty() && is_sep(rest.back());
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t end = pos;
        while (end < rest.size() && !is_sep(rest[end]))
            end++;
        std::string name = rest.substr(pos, end - pos);
        bool last = end >= rest.size();
        pos = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        if (last) {
            while (!name.empty() && (name.back() == '.' || name.back() == ' '))
                name.pop_back();
            if (name.empty()) {  // "C:\a\..." names the folder C:\a\ itself
                trailing = true;
                continue;
            }
        }
        parts.push_back(name);
    }
    return trailing;
}

std::string join(const PathParts &p, bool trailing)
{
    std::string out = p.root;
    for (size_t i = 0; i < p.parts.size(); i++) {
        if (i > 0 || (!out.empty() && out.back() != '\\'))
            out += '\\';
        out += p.parts[i];
    }
    if (trailing && out.back() != '\\')
        out += '\\';
    return out;
}

bool split_full_path(const std::string &path, PathParts &out)
{
    out = PathParts();
    std::string s = path;
    std::replace(s.begin(), s.end(), '/', '\\');
    std::string rest;
    if (starts_with(s, "\\\\.\\")) {
        out.root = "\\\\.\\";
        rest = s.substr(4);
    } else if (starts_with(s, "\\\\")) {
        // \\server\share is the root of a UNC path; ".." never climbs above it.
        size_t server_end = s.find('\\', 2);
        if (server_end == std::string::npos || server_end == 2)
            return false;
        size_t share_end = s.find('\\', server_end + 1);
        if (share_end == std::string::npos)
            share_end = s.size();
        out.root = s.substr(0, share_end);
        rest = share_end < s.size() ? s.substr(share_end) : "";
    } else if (s.size() >= 3 && isalpha((unsigned char)s[0]) && s[1] == ':' && s[2] == '\\') {
        out.root = s.substr(0, 3);
        rest = s.substr(3);
    } else {
        return false;
    }
    out.trailing = apply_relative(out.parts, rest);
    return true;
}

}  // namespace

std::string current_directory()
{
    std::string &dir = current_dir_storage();
    if (dir.empty())
        dir = to_windows_path(host_cwd());
    return dir;
}

void set_current_directory(const std::string &full)
{
    std::string dir = full;
    // Kept without a trailing separator, except for a drive's root.
    while (dir.size() > 3 && dir.back() == '\\')
        dir.pop_back();
    current_dir_storage() = dir;
}

std::string full_windows_path(const std::string &path)
{
    if (path.empty())
        return "";
    if (starts_with(path, "\\\\?\\"))  // taken literally, as Windows does
        return path;
    std::string s = path;
    std::replace(s.begin(), s.end(), '/', '\\');

    PathParts p;
    if (starts_with(s, "\\\\")) {
        if (!split_full_path(s, p))
            return "";
        return join(p, p.trailing);
    }
    std::string rest;
    if (s.size() >= 2 && isalpha((unsigned char)s[0]) && s[1] == ':') {
        if (s.size() >= 3 && s[2] == '\\')
            return split_full_path(s, p) ? join(p, p.trailing) : "";
        // "D:name" is relative to D:'s current directory. The process keeps only one
        // (the environment's "=D:" variables are not modelled), so another drive's
        // is its root.
        std::string cur = current_directory();
        if (cur.size() >= 2 && cur[1] == ':' && toupper((unsigned char)cur[0]) == toupper((unsigned char)s[0]))
            split_full_path(cur, p);
        else
            split_full_path(s.substr(0, 2) + "\\", p);
        rest = s.substr(2);
    } else if (s[0] == '\\') {
        // Rooted: the root of the current directory's drive (or share).
        split_full_path(current_directory(), p);
        p.parts.clear();
        rest = s.substr(1);
    } else {
        split_full_path(current_directory(), p);
        rest = s;
    }
    p.trailing = apply_relative(p.parts, rest);
    return join(p, p.trailing);
}

std::string to_host_path(const std::string &windows_path)
{
    std::string full = full_windows_path(windows_path);
    if (starts_with(full, "\\\\?\\")) {
        full = full.substr(4);
        if (starts_with(full, "UNC\\"))
            full = "\\" + full.substr(3);
    }
    PathParts p;
    if (!split_full_path(full, p))
        return "";
    std::string base;
    if (p.root.size() == 3 && p.root[1] == ':') {
        char drive = (char)tolower((unsigned char)p.root[0]);
        if (drive == 'c') {
            base = drive_c_host();
            inf_dir_host();  // C:\windows\INF is always there, as on Windows
        } else if (drive != 'z') {
            base = root_dir() + "/drive_" + drive;
        }
    } else if (p.root == "\\\\.\\") {
        base = root_dir() + "/device";
    } else {
        // \\server\share: a folder per share under the root.
        std::string unc = p.root.substr(2);
        std::replace(unc.begin(), unc.end(), '\\', '/');
        base = root_dir() + "/unc/" + unc;
    }
    std::string host = base;
    bool exists = true;
    for (const std::string &name : p.parts) {
        std::string found = exists ? find_entry(host, name) : "";
        if (found.empty())
            exists = false;
        host += "/" + (found.empty() ? name : found);
    }
    return host.empty() ? "/" : host;
}

std::string to_windows_path(const std::string &host_path)
{
    std::vector<std::string> parts = host_parts(host_path);
    std::vector<std::string> root = host_parts(root_dir());
    std::string out;
    size_t skip = 0;
    if (parts.size() > root.size() && std::equal(root.begin(), root.end(), parts.begin())) {
        const std::string &drive = parts[root.size()];
        if (drive.size() == 7 && starts_with(drive, "drive_") && isalpha((unsigned char)drive[6])) {
            out = std::string(1, (char)toupper((unsigned char)drive[6])) + ":\\";
            skip = root.size() + 1;
        }
    }
    if (out.empty())
        out = "Z:\\";
    for (size_t i = skip; i < parts.size(); i++) {
        if (i > skip)
            out += '\\';
        out += parts[i];
    }
    return out;
}

std::string windows_dir()
{
    inf_dir_host();
    return "C:\\windows";
}

std::string inf_dir_host()
{
    return ensure_child(ensure_child(drive_c_host(), "windows"), "INF");
}

bool wildcard_match(const std::string &pattern, const std::string &name)
{
    // The DOS forms: "*.*" is everything, and a trailing dot asks for a name without
    // an extension ("*." lists the names that have no dot).
    if (pattern == "*.*")
        return true;
    if (pattern.size() > 1 && pattern.back() == '.' && pattern != "..") {
        if (name.find('.') != std::string::npos)
            return false;
        return wildcard_match(pattern.substr(0, pattern.size() - 1), name);
    }
    // Iterative glob with one backtrack point: the last '*' seen.
    size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' ||
                    tolower((unsigned char)pattern[p]) == tolower((unsigned char)name[n]))) {
            p++;
            n++;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

}  // namespace winsim
