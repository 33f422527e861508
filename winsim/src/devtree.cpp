// The device tree: device nodes with their properties and hardware-key values, kept as
// one text file per node so that a person or a test can read and seed them by hand.
//
// <root>/devices/<instance ID with each '\' written as '#'>.device, for example
// ROOT#PORTS#0000.device for ROOT\PORTS\0000. One setting per line; blank lines and
// lines starting with '#' are ignored; a line that cannot be read is reported on stderr
// and skipped.
//
//   order = 3                    listing position (see below); written by the layer
//   class = {4D36E978-E325-11CE-BFC1-08002BE10318}   setup class; none when absent
//   present = yes                yes|no; absent means yes
//   driver = oem0.inf            the installed driver package; absent until installed
//   devkey = yes                 the hardware key exists (also implied by a value line);
//                                read-only: it exists and opens for reading only
//   HardwareID = multi_sz "Qor\\Vsp\0\0"         a device property (SPDRP_*), by its
//   FriendlyName = sz "Virtual Port (COM7)\0"    registry name: DeviceDesc, HardwareID,
//                                                CompatibleIDs, Mfg, FriendlyName
//   value PortName = sz "COM7\0"                 a value of the hardware key (DIREG_DEV)
//   value "Name with spaces" = dword 0x00000001
//
// Types: none, sz, expand_sz, binary, dword, multi_sz, or the registry type's number.
// Data are the stored bytes exactly, in double quotes with C-like escapes: \\ \" \r \n
// \t, \0 for one NUL byte (a digit after it is an ordinary character) and \xHH with
// exactly two hex digits; other bytes stand as themselves. So a value stored without
// its terminating NUL reads "COM7". A dword of exactly four bytes may also be given
// as a number (0x1F or 31), which is how the layer writes it.
//
// Listing order: files without an order line come first, sorted by file name (bytes);
// then the others by order number. A node registered by the layer gets the highest
// order number in the tree plus one, so devices list in creation order, and the order
// survives restarts and rewrites. Writes go to a temporary file (".tmp-<pid>-<n>"; such
// files are never read as devices) that is renamed over the device file. A process killed
// meanwhile leaves its temporary file behind: the first use of a tree in a process
// removes those whose process is gone.
#include "devtree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "core.h"
#include "driver.h"

namespace winsim {

// ---------------------------------------------------------------- node helpers

namespace {

template <class List>
auto find_named(List &list, const std::string &name) -> decltype(list.data())
{
    for (auto &v : list)
        if (strcasecmp(v.name.c_str(), name.c_str()) == 0)
            return &v;
    return nullptr;
}

}  // namespace

DevValue *DeviceNode::find_prop(const std::string &name) { return find_named(props, name); }
const DevValue *DeviceNode::find_prop(const std::string &name) const { return find_named(props, name); }
DevValue *DeviceNode::find_value(const std::string &name) { return find_named(values, name); }
const DevValue *DeviceNode::find_value(const std::string &name) const { return find_named(values, name); }

bool DeviceNode::port_name(std::string &out) const
{
    const DevValue *v = find_value("PortName");
    if (!v)
        return false;
    out = v->data.substr(0, v->data.find('\0'));
    return true;
}

bool id_equal(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::string guid_text(const GUID &g, bool lower)
{
    char buf[40];
    snprintf(buf, sizeof buf,
             lower ? "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}"
                   : "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return buf;
}

bool guid_parse(const std::string &text, GUID &g)
{
    if (text.size() != 38 || text[0] != '{' || text[37] != '}')
        return false;
    for (size_t i = 1; i < 37; i++) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != '-' : !isxdigit((unsigned char)text[i]))
            return false;
    }
    auto hex = [&](size_t pos, size_t len) { return (uint32_t)strtoul(text.substr(pos, len).c_str(), nullptr, 16); };
    g.Data1 = hex(1, 8);
    g.Data2 = (uint16_t)hex(10, 4);
    g.Data3 = (uint16_t)hex(15, 4);
    g.Data4[0] = (uint8_t)hex(20, 2);
    g.Data4[1] = (uint8_t)hex(22, 2);
    for (int i = 0; i < 6; i++)
        g.Data4[2 + i] = (uint8_t)hex(25 + 2 * i, 2);
    return true;
}

// ---------------------------------------------------------------- text format

namespace {

const struct {
    DWORD type;
    const char *name;
} type_names[] = {{REG_NONE, "none"},     {REG_SZ, "sz"},       {REG_EXPAND_SZ, "expand_sz"},
                  {REG_BINARY, "binary"}, {REG_DWORD, "dword"}, {REG_MULTI_SZ, "multi_sz"}};

std::string type_word(DWORD type)
{
    for (auto &t : type_names)
        if (t.type == type)
            return t.name;
    return std::to_string(type);
}

bool parse_type_word(const std::string &word, DWORD &type)
{
    for (auto &t : type_names)
        if (strcasecmp(word.c_str(), t.name) == 0) {
            type = t.type;
            return true;
        }
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    type = (DWORD)strtoul(word.c_str(), nullptr, 10);
    return true;
}

std::string quote(const std::string &bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\0': out += "\\0"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += (char)c;
            } else {
                char buf[5];
                snprintf(buf, sizeof buf, "\\x%02X", c);
                out += buf;
            }
        }
    }
    return out + "\"";
}

bool bare_name(const std::string &name)
{
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7F || c == '=' || c == '"' || c == '\\' || c == '#')
            return false;
    return true;
}

std::string format_data(const DevValue &v)
{
    std::string line = type_word(v.type) + " ";
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n;
        memcpy(&n, v.data.data(), 4);
        char buf[16];
        snprintf(buf, sizeof buf, "0x%08X", n);
        return line + buf;
    }
    return line + quote(v.data);
}

// A cursor over one line.
struct Line {
    const std::string &s;
    size_t pos = 0;
    explicit Line(const std::string &text) : s(text) {}
    void skip_spaces()
    {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            pos++;
    }
    bool at_end()
    {
        skip_spaces();
        return pos >= s.size();
    }
    bool take(char c)
    {
        skip_spaces();
        if (pos < s.size() && s[pos] == c) {
            pos++;
            return true;
        }
        return false;
    }
    std::string word()
    {
        skip_spaces();
        size_t start = pos;
        while (pos < s.size() && s[pos] != ' ' && s[pos] != '\t' && s[pos] != '=')
            pos++;
        return s.substr(start, pos - start);
    }
    std::string rest()
    {
        skip_spaces();
        size_t end = s.size();
        while (end > pos && (s[end - 1] == ' ' || s[end - 1] == '\t'))
            end--;
        std::string r = s.substr(pos, end - pos);
        pos = s.size();
        return r;
    }
    // A double-quoted string with the escapes above.
    bool quoted(std::string &out)
    {
        if (!take('"'))
            return false;
        out.clear();
        while (pos < s.size()) {
            char c = s[pos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= s.size())
                return false;
            char e = s[pos++];
            switch (e) {
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case '0': out += '\0'; break;
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'x':
                if (pos + 2 > s.size() || !isxdigit((unsigned char)s[pos]) || !isxdigit((unsigned char)s[pos + 1]))
                    return false;
                out += (char)strtoul(s.substr(pos, 2).c_str(), nullptr, 16);
                pos += 2;
                break;
            default: return false;
            }
        }
        return false;
    }
};

bool parse_data(Line &ln, DevValue &v)
{
    if (!parse_type_word(ln.word(), v.type))
        return false;
    ln.skip_spaces();
    if (ln.pos < ln.s.size() && ln.s[ln.pos] == '"')
        return ln.quoted(v.data) && ln.at_end();
    if (v.type != REG_DWORD)
        return false;
    std::string num = ln.rest();
    char *end = nullptr;
    unsigned long long n = strtoull(num.c_str(), &end, 0);
    if (num.empty() || *end || n > 0xFFFFFFFFull)
        return false;
    uint32_t d = (uint32_t)n;
    v.data.assign(reinterpret_cast<const char *>(&d), 4);
    return true;
}

bool parse_line(const std::string &text, DeviceNode &node)
{
    Line ln(text);
    std::string key = ln.word();
    if (strcasecmp(key.c_str(), "value") == 0) {
        DevValue v;
        ln.skip_spaces();
        if (ln.pos < text.size() && text[ln.pos] == '"') {
            if (!ln.quoted(v.name))
                return false;
        } else {
            v.name = ln.word();
            if (v.name.empty())
                return false;
        }
        if (!ln.take('=') || !parse_data(ln, v))
            return false;
        if (DevValue *old = node.find_value(v.name))
            *old = v;
        else
            node.values.push_back(v);
        node.has_key = true;
        return true;
    }
    if (key.empty() || !ln.take('='))
        return false;
    const char *k = key.c_str();
    if (!strcasecmp(k, "class") || !strcasecmp(k, "present") || !strcasecmp(k, "driver") ||
        !strcasecmp(k, "order") || !strcasecmp(k, "devkey")) {
        std::string r = ln.rest();
        bool yes = !strcasecmp(r.c_str(), "yes"), no = !strcasecmp(r.c_str(), "no");
        if (!strcasecmp(k, "class"))
            return guid_parse(r, node.class_guid);
        if (!strcasecmp(k, "driver")) {
            node.driver = r;
            return true;
        }
        if (!strcasecmp(k, "order")) {
            char *end = nullptr;
            node.order = strtoull(r.c_str(), &end, 10);
            node.has_order = !r.empty() && !*end;
            return node.has_order;
        }
        if (!strcasecmp(k, "devkey") && !strcasecmp(r.c_str(), "read-only")) {
            node.has_key = true;
            node.key_read_only = true;
            return true;
        }
        if (!yes && !no)
            return false;
        if (!strcasecmp(k, "present"))
            node.present = yes;
        else
            node.has_key = node.has_key || yes;
        return true;
    }
    DevValue p;
    p.name = key;
    if (!parse_data(ln, p))
        return false;
    if (DevValue *old = node.find_prop(p.name))
        *old = p;
    else
        node.props.push_back(p);
    return true;
}

}  // namespace

std::string devtree_format(const DeviceNode &node)
{
    std::string out = "# device " + node.id + "\n";
    if (node.has_order)
        out += "order = " + std::to_string(node.order) + "\n";
    if (node.class_guid != GUID{})
        out += "class = " + guid_text(node.class_guid) + "\n";
    out += std::string("present = ") + (node.present ? "yes" : "no") + "\n";
    if (!node.driver.empty())
        out += "driver = " + node.driver + "\n";
    for (auto &p : node.props)
        out += p.name + " = " + format_data(p) + "\n";
    if (node.has_key)
        out += node.key_read_only ? "devkey = read-only\n" : "devkey = yes\n";
    for (auto &v : node.values)
        out += "value " + (bare_name(v.name) ? v.name : quote(v.name)) + " = " + format_data(v) + "\n";
    return out;
}

void devtree_parse(const std::string &text, DeviceNode &node, const std::string &where)
{
    size_t pos = 0;
    unsigned number = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        if (!parse_line(line, node))
            fprintf(stderr, "winsim: %s:%u: unreadable line skipped: %s\n", where.c_str(), number, line.c_str());
    }
}

// ---------------------------------------------------------------- files

namespace {

const char suffix[] = ".device";

std::string file_name_of(const std::string &id)
{
    std::string name = id;
    std::replace(name.begin(), name.end(), '\\', '#');
    return name + suffix;
}

// The instance ID a device file names; false for anything that is not a device file.
bool id_of_file(const std::string &name, std::string &id)
{
    size_t n = sizeof suffix - 1;
    if (name.size() <= n || name[0] == '.' || name.compare(name.size() - n, n, suffix) != 0)
        return false;
    id = name.substr(0, name.size() - n);
    std::replace(id.begin(), id.end(), '#', '\\');
    return true;
}

std::vector<std::string> device_files(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;  // no folder: an empty tree
    while (dirent *e = readdir(d)) {
        std::string id;
        if (id_of_file(e->d_name, id))
            names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool read_file(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return true;
}

bool read_node(const std::string &dir, const std::string &name, DeviceNode &node)
{
    std::string text;
    node = DeviceNode{};
    if (!id_of_file(name, node.id) || !read_file(dir + "/" + name, text))
        return false;
    node.file = name;
    devtree_parse(text, node, dir + "/" + name);
    return true;
}

// Finds the file of an instance ID: the exact name, else any name equal but for case
// (a person may seed "acpi#pnp0501#1.device").
bool find_file(const std::string &dir, const std::string &id, std::string &name)
{
    std::string exact = file_name_of(id);
    struct stat st;
    if (stat((dir + "/" + exact).c_str(), &st) == 0) {
        name = exact;
        return true;
    }
    for (auto &f : device_files(dir)) {
        if (id_equal(f, exact)) {
            name = f;
            return true;
        }
    }
    return false;
}

// Writes the text to a temporary file in `dir` and returns its path ("" on failure).
std::string write_temp(const std::string &dir, const std::string &text)
{
    static unsigned long counter = 0;
    mkdir(dir.c_str(), 0755);
    std::string tmp = dir + "/.tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return "";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w <= 0)
            break;
        done += (size_t)w;
    }
    // The data reach the disk before the name does, so even a machine crash leaves
    // either the old file or the whole new one.
    bool ok = done == text.size() && fdatasync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(tmp.c_str());
        return "";
    }
    return tmp;
}

// Whether a temporary file of the tree was left by a process that is gone. Another
// process serving the same root may be writing its own right now, and this process has
// written none yet when it opens the tree: a file named with our own ID is a leftover of
// an earlier process that had it.
bool left_behind(const std::string &name)
{
    if (name.compare(0, 5, ".tmp-") != 0)
        return false;
    char *end = nullptr;
    errno = 0;
    long pid = strtol(name.c_str() + 5, &end, 10);
    if (errno != 0 || end == name.c_str() + 5 || *end != '-' || pid <= 0)
        return false;  // not a name this layer makes
    if (pid == getpid())
        return true;
    return kill((pid_t)pid, 0) != 0 && errno == ESRCH;
}

// The first use of a tree's folder in this process clears the leftovers in it.
void open_tree(const std::string &dir)
{
    static auto *opened = new std::set<std::string>;
    if (!opened->insert(dir).second)
        return;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> stale;
    while (dirent *e = readdir(d))
        if (left_behind(e->d_name))
            stale.push_back(e->d_name);
    closedir(d);
    for (auto &name : stale)
        unlink((dir + "/" + name).c_str());
}

}  // namespace

std::string devtree_dir() { return root_dir() + "/devices"; }

std::vector<DeviceNode> devtree_list(const std::string &dir)
{
    devtree_use();
    open_tree(dir);
    std::vector<DeviceNode> nodes;
    for (auto &name : device_files(dir)) {
        DeviceNode node;
        if (read_node(dir, name, node))
            nodes.push_back(std::move(node));
    }
    // device_files sorted by name already; a stable sort keeps that among equals.
    std::stable_sort(nodes.begin(), nodes.end(), [](const DeviceNode &a, const DeviceNode &b) {
        if (a.has_order != b.has_order)
            return !a.has_order;
        return a.has_order && a.order < b.order;
    });
    return nodes;
}

bool devtree_load(const std::string &dir, const std::string &id, DeviceNode &node)
{
    devtree_use();
    open_tree(dir);
    std::string name;
    return find_file(dir, id, name) && read_node(dir, name, node);
}

DWORD devtree_save(const std::string &dir, DeviceNode &node)
{
    open_tree(dir);
    std::string name;
    if (!find_file(dir, node.id, name))
        return ERROR_NO_SUCH_DEVINST;
    std::string tmp = write_temp(dir, devtree_format(node));
    if (tmp.empty())
        return ERROR_CANTWRITE;
    if (rename(tmp.c_str(), (dir + "/" + name).c_str()) != 0) {
        unlink(tmp.c_str());
        return ERROR_CANTWRITE;
    }
    node.file = name;
    return 0;
}

DWORD devtree_create(const std::string &dir, DeviceNode &node)
{
    open_tree(dir);
    std::string existing;
    if (find_file(dir, node.id, existing))
        return ERROR_DEVINST_ALREADY_EXISTS;
    unsigned long long last = 0;
    for (auto &n : devtree_list(dir))
        if (n.has_order)
            last = std::max(last, n.order);
    node.has_order = true;
    node.order = last + 1;
    std::string tmp = write_temp(dir, devtree_format(node));
    if (tmp.empty())
        return ERROR_CANTWRITE;
    // link() will not replace a file that another process has just made.
    std::string name = file_name_of(node.id);
    int rc = link(tmp.c_str(), (dir + "/" + name).c_str());
    int err = errno;
    unlink(tmp.c_str());
    if (rc != 0)
        return err == EEXIST ? ERROR_DEVINST_ALREADY_EXISTS : ERROR_CANTWRITE;
    node.file = name;
    return 0;
}

DWORD devtree_remove(const std::string &dir, const std::string &id)
{
    open_tree(dir);
    std::string name;
    if (!find_file(dir, id, name))
        return ERROR_NO_SUCH_DEVINST;
    return unlink((dir + "/" + name).c_str()) == 0 ? 0 : ERROR_ACCESS_DENIED;
}

// ---------------------------------------------------------------- driver side

bool devtree_resolve_port(const std::string &name)
{
    for (auto &node : devtree_list(devtree_dir())) {
        std::string port;
        if (node.driver.empty() || !node.present || !node.port_name(port) || !id_equal(port, name))
            continue;
        return driver_port_start_locked(port);
    }
    return false;
}

void devtree_use()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    driver_set_resolver([](const std::string &name) { return devtree_resolve_port(name); });
}

bool devtree_inf_in_use(const std::string &inf_name)
{
    for (auto &node : devtree_list(devtree_dir()))
        if (id_equal(node.driver, inf_name))
            return true;
    return false;
}

}  // namespace winsim
