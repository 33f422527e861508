// Driver packages in the INF folder: SetupCopyOEMInfA installs an INF as "oemN.inf",
// SetupUninstallOEMInfA takes it away again.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "core.h"
#include "lasterror.h"
#include "devtree.h"
#include "paths.h"

namespace winsim {

// Kept by inf.cpp: 0 when the file loads as an INF_STYLE_WIN4 INF, else the error.
DWORD inf_check_file(const std::string &host_path);
std::string inf_version_value(const std::string &host_path, const char *key);

namespace {

std::vector<std::string> folder_names(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The installed OEM INFs, as the folder spells them, oem0 before oem1 before oem10.
std::vector<std::string> installed_oem_infs(const std::string &dir)
{
    std::vector<std::string> names;
    for (const std::string &name : folder_names(dir))
        if (wildcard_match("oem*.inf", name))
            names.push_back(name);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        unsigned long na = strtoul(a.c_str() + 3, nullptr, 10), nb = strtoul(b.c_str() + 3, nullptr, 10);
        return na != nb ? na < nb : a < b;
    });
    return names;
}

bool read_file(const std::string &path, std::string &out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::ostringstream s;
    s << f.rdbuf();
    out = s.str();
    return true;
}

// Writes `content` as the lowest free "oemN.inf". The file is written whole under a
// temporary name that no search matches, then linked to its final name; link()
// never replaces a file, so a process that took the same N at the same moment makes
// this one move on to the next N instead of overwriting it.
DWORD install_new(const std::string &dir, const std::string &content, std::string &name)
{
    std::string tmp = dir + "/.oeminf-XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return ERROR_ACCESS_DENIED;
    fchmod(fd, 0644);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    bool ok = done == content.size() && fsync(fd) == 0;
    close(fd);
    if (!ok) {
        unlink(tmp.c_str());
        return ERROR_CANTWRITE;
    }
    std::set<std::string> taken;
    for (const std::string &n : folder_names(dir)) {
        std::string l = n;
        for (char &c : l)
            c = (char)tolower((unsigned char)c);
        taken.insert(l);
    }
    for (unsigned n = 0;; n++) {
        std::string candidate = "oem" + std::to_string(n) + ".inf";
        if (taken.count(candidate))
            continue;
        if (link(tmp.c_str(), (dir + "/" + candidate).c_str()) == 0) {
            unlink(tmp.c_str());
            name = candidate;
            return 0;
        }
        if (errno != EEXIST) {
            unlink(tmp.c_str());
            return ERROR_ACCESS_DENIED;
        }
    }
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI SetupCopyOEMInfA(PCSTR source, PCSTR media_location, DWORD media_type, DWORD copy_style, PSTR dest,
                             DWORD dest_size, PDWORD required, PSTR *component)
{
    (void)media_location;  // only recorded by Windows, for later prompts for files
    if (DWORD e = api_enter("SetupCopyOEMInfA"))
        return fail(e, FALSE);
    if (!source || media_type > SPOST_URL || (!dest && dest_size))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Guard g(lock);
    std::string host = to_host_path(source);
    std::string content;
    struct stat st;
    if (host.empty() || stat(host.c_str(), &st) != 0)
        return fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (S_ISDIR(st.st_mode) || !read_file(host, content))
        return fail(ERROR_ACCESS_DENIED, FALSE);
    if (DWORD e = inf_check_file(host))
        return fail(e, FALSE);
    // The package's catalog is copied with its INF: a package without the catalog that
    // its INF names is refused, as Windows refuses it.
    std::string catalog = inf_version_value(host, "CatalogFile");
    if (!catalog.empty()) {
        bool found = false;
        for (const std::string &name : folder_names(host.substr(0, host.rfind('/'))))
            found = found || strcasecmp(name.c_str(), catalog.c_str()) == 0;
        if (!found)
            return fail(ERROR_FILE_NOT_FOUND, FALSE);
    }

    // A package already installed byte for byte is not installed twice: its name is
    // the answer.
    std::string dir = inf_dir_host();
    std::string name;
    for (const std::string &installed : installed_oem_infs(dir)) {
        std::string other;
        if (read_file(dir + "/" + installed, other) && other == content) {
            name = installed;
            break;
        }
    }
    bool existed = !name.empty();
    if (!existed && (copy_style & SP_COPY_REPLACEONLY))
        return fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (!existed) {
        if (DWORD e = install_new(dir, content, name))
            return fail(e, FALSE);
    }

    std::string full = windows_dir() + "\\INF\\" + name;
    DWORD need = (DWORD)full.size() + 1;
    if (required)
        *required = need;
    bool fits = dest && dest_size >= need;
    if (fits) {
        memcpy(dest, full.c_str(), need);
        if (component)
            *component = dest + full.size() - name.size();
    }
    // With SP_COPY_NOOVERWRITE the existing copy's name is still given back.
    if (existed && (copy_style & SP_COPY_NOOVERWRITE))
        return fail(ERROR_FILE_EXISTS, FALSE);
    if (dest && !fits)
        return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    return succeed(TRUE);
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR inf_name, DWORD flags, PVOID reserved)
{
    if (DWORD e = api_enter("SetupUninstallOEMInfA"))
        return fail(e, FALSE);
    if (!inf_name || reserved)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (flags & ~SUOI_FORCEDELETE)
        return fail(ERROR_INVALID_FLAGS, FALSE);
    Guard g(lock);
    // Only a bare "oemN.inf" of the INF folder names an installed package.
    std::string wanted = inf_name;
    if (wanted.find_first_of("\\/:") != std::string::npos || !wildcard_match("oem*.inf", wanted))
        return fail(ERROR_NOT_AN_INSTALLED_OEM_INF, FALSE);
    std::string dir = inf_dir_host();
    std::string stored;
    for (const std::string &name : installed_oem_infs(dir))
        if (strcasecmp(name.c_str(), wanted.c_str()) == 0)
            stored = name;
    if (stored.empty())
        return fail(ERROR_NOT_AN_INSTALLED_OEM_INF, FALSE);
    if (!(flags & SUOI_FORCEDELETE) && devtree_inf_in_use(stored))
        return fail(ERROR_INF_IN_USE_BY_DEVICES, FALSE);
    if (unlink((dir + "/" + stored).c_str()) != 0)
        return fail(ERROR_ACCESS_DENIED, FALSE);
    // Its precompiled form goes with it.
    std::string pnf = stored.substr(0, stored.size() - 4) + ".pnf";
    for (const std::string &name : folder_names(dir))
        if (strcasecmp(name.c_str(), pnf.c_str()) == 0)
            unlink((dir + "/" + name).c_str());
    return succeed(TRUE);
}

}  // extern "C"
