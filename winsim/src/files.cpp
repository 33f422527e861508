// kernel32's file and path functions: the module's own name, full path names, the
// current directory, the Windows directory, and directory listings.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core.h"
#include "paths.h"

namespace winsim {

// Kept by paths.cpp, beside the drive mapping whose rules they share.
std::string full_windows_path(const std::string &path);
std::string current_directory();
void set_current_directory(const std::string &full);

namespace {

// What GetModuleHandleA(NULL) gives: an address in this image, as an HMODULE is the
// module's base address on Windows. It can never equal a value of the handle table.
char module_image_marker;

HMODULE own_module() { return reinterpret_cast<HMODULE>(&module_image_marker); }

std::string exe_host_path()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "/";
    buf[n] = '\0';
    return buf;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The usual Windows reply of functions that fill a caller's buffer with a string:
// the length without the NUL when it fits, else the size needed with the NUL, and
// the buffer left alone.
DWORD copy_out(const std::string &s, char *buf, DWORD size)
{
    if (!buf || s.size() >= size)
        return (DWORD)s.size() + 1;
    memcpy(buf, s.c_str(), s.size() + 1);
    return (DWORD)s.size();
}

// 100-nanosecond intervals since 1601-01-01, the epoch of FILETIME.
FILETIME to_filetime(const struct timespec &ts)
{
    const uint64_t epoch_diff = 11644473600ull;
    uint64_t t = ((uint64_t)ts.tv_sec + epoch_diff) * 10000000ull + (uint64_t)ts.tv_nsec / 100;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)t;
    ft.dwHighDateTime = (DWORD)(t >> 32);
    return ft;
}

// NTFS keeps a folder's names in the order of their upper-cased forms.
bool ntfs_less(const std::string &a, const std::string &b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        int ca = toupper((unsigned char)a[i]), cb = toupper((unsigned char)b[i]);
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

// A directory listing taken when FindFirstFileA ran; later changes to the folder are
// not seen, which Windows does not promise either.
struct FindSearch : Object {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
    const char *kind() const override { return "FindFile"; }
};

bool fill_find_data(const std::string &dir, const std::string &name, WIN32_FIND_DATAA &fd)
{
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) != 0 && lstat((dir + "/" + name).c_str(), &st) != 0)
        return false;
    if (name.size() >= sizeof fd.cFileName)
        return false;
    memset(&fd, 0, sizeof fd);
    if (S_ISDIR(st.st_mode)) {
        fd.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        fd.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
        fd.nFileSizeLow = (DWORD)st.st_size;
        fd.nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    }
    if (!(st.st_mode & S_IWUSR))
        fd.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    fd.ftCreationTime = to_filetime(st.st_ctim);
    fd.ftLastAccessTime = to_filetime(st.st_atim);
    fd.ftLastWriteTime = to_filetime(st.st_mtim);
    memcpy(fd.cFileName, name.c_str(), name.size() + 1);
    return true;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size)
{
    if (DWORD e = api_enter("GetModuleFileNameA", module))
        return fail(e, (DWORD)0);
    if (module && module != own_module())
        return fail(ERROR_MOD_NOT_FOUND, (DWORD)0);
    if (!buf && size)
        return fail(ERROR_INVALID_PARAMETER, (DWORD)0);
    Guard g(lock);
    std::string path = to_windows_path(exe_host_path());
    if (path.size() < size) {
        memcpy(buf, path.c_str(), path.size() + 1);
        return (DWORD)path.size();
    }
    // Too small: as much as fits, still NUL-terminated, and the buffer's size.
    if (size > 0) {
        memcpy(buf, path.c_str(), size - 1);
        buf[size - 1] = '\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    if (DWORD e = api_enter("GetModuleHandleA"))
        return fail(e, (HMODULE) nullptr);
    if (!name)
        return own_module();
    Guard g(lock);
    std::string exe = exe_host_path();
    std::string base = base_name(exe);
    // The same program built for Windows is "<name>.exe", so that spelling is known too.
    bool match = strcasecmp(name, base.c_str()) == 0 || strcasecmp(name, to_windows_path(exe).c_str()) == 0 ||
                 (base.find('.') == std::string::npos && strcasecmp(name, (base + ".exe").c_str()) == 0);
    if (!match)
        return fail(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
    return own_module();
}

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buf, LPSTR *file_part)
{
    if (DWORD e = api_enter("GetFullPathNameA"))
        return fail(e, (DWORD)0);
    if (!name)
        return fail(ERROR_INVALID_PARAMETER, (DWORD)0);
    Guard g(lock);
    std::string full = full_windows_path(name);
    if (full.empty())
        return fail(ERROR_INVALID_NAME, (DWORD)0);
    DWORD n = copy_out(full, buf, size);
    if (n == full.size() && file_part) {
        // The last name inside the caller's buffer; none when the path names a folder
        // by its trailing separator.
        size_t sep = full.find_last_of('\\');
        *file_part = full.back() == '\\' ? nullptr : buf + (sep == std::string::npos ? 0 : sep + 1);
    }
    return n;
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path)
{
    if (DWORD e = api_enter("SetCurrentDirectoryA"))
        return fail(e, FALSE);
    if (!path)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Guard g(lock);
    std::string full = full_windows_path(path);
    if (full.empty())
        return fail(ERROR_INVALID_NAME, FALSE);
    std::string host = to_host_path(full);
    struct stat st;
    if (host.empty())
        return fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (stat(host.c_str(), &st) != 0) {
        // Windows tells a missing last folder from a missing one on the way there.
        std::string parent = host.substr(0, host.find_last_of('/'));
        struct stat pst;
        bool parent_ok = stat(parent.empty() ? "/" : parent.c_str(), &pst) == 0 && S_ISDIR(pst.st_mode);
        return fail(parent_ok ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
    }
    if (!S_ISDIR(st.st_mode))
        return fail(ERROR_DIRECTORY, FALSE);
    set_current_directory(full);
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buf)
{
    if (DWORD e = api_enter("GetCurrentDirectoryA"))
        return fail(e, (DWORD)0);
    Guard g(lock);
    return copy_out(current_directory(), buf, size);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buf, UINT size)
{
    if (DWORD e = api_enter("GetWindowsDirectoryA"))
        return fail(e, (UINT)0);
    Guard g(lock);
    return copy_out(windows_dir(), buf, size);
}

HANDLE WINAPI FindFirstFileA(LPCSTR file_name, LPWIN32_FIND_DATAA data)
{
    if (DWORD e = api_enter("FindFirstFileA"))
        return fail(e, INVALID_HANDLE_VALUE);
    if (!file_name || !data)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    Guard g(lock);
    // Wildcards only count in the last name; the folder before it is an ordinary path.
    std::string s = file_name;
    size_t sep = s.find_last_of("\\/");
    std::string folder, pattern;
    if (sep != std::string::npos) {
        folder = s.substr(0, sep + 1);
        pattern = s.substr(sep + 1);
    } else if (s.size() >= 2 && s[1] == ':' && isalpha((unsigned char)s[0])) {
        folder = s.substr(0, 2);
        pattern = s.substr(2);
    } else {
        folder = ".";
        pattern = s;
    }
    if (pattern.empty())
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::string full = full_windows_path(folder);
    std::string host = full.empty() ? "" : to_host_path(full);
    if (host.empty())
        return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    DIR *d = opendir(host.c_str());
    if (!d)
        return fail(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && wildcard_match(pattern, name))
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end(), ntfs_less);
    // A folder other than a drive's root lists "." and ".." first.
    bool drive_root = full.size() == 3 && full[1] == ':';
    if (!drive_root) {
        for (const char *dots : {"..", "."})
            if (wildcard_match(pattern, dots))
                names.insert(names.begin(), dots);
    }
    auto search = std::make_shared<FindSearch>();
    for (const std::string &name : names) {
        WIN32_FIND_DATAA fd;
        if (fill_find_data(host, name, fd))
            search->entries.push_back(fd);
    }
    if (search->entries.empty())
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *data = search->entries[0];
    search->next = 1;
    return handle_add(search);
}

BOOL WINAPI FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data)
{
    if (DWORD e = api_enter("FindNextFileA", find))
        return fail(e, FALSE);
    Guard g(lock);
    auto search = handle_get_as<FindSearch>(find);
    if (!search)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    if (!data)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (search->next >= search->entries.size())
        return fail(ERROR_NO_MORE_FILES, FALSE);
    *data = search->entries[search->next++];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE find)
{
    if (DWORD e = api_enter("FindClose", find))
        return fail(e, FALSE);
    Guard g(lock);
    if (!handle_get_as<FindSearch>(find))
        return fail(ERROR_INVALID_HANDLE, FALSE);
    handle_close(find);
    return TRUE;
}

}  // extern "C"
