// What the INF side needs to know of the device tree.
#pragma once

#include <string>
#include <vector>

#include "winsim/winsim.h"

namespace winsim {

// Whether a device node is installed with the driver package "oemN.inf" (name compared
// without regard to case). Lock held.
bool devtree_inf_in_use(const std::string &inf_name);

// ---------------------------------------------------------------- internals
// The device tree lives in <root>/devices, one text file per device node; the format is
// described at the top of devtree.cpp. Every call reads the files anew, so the files are
// the only truth: a second process, a hand edit or a test seeing them all agree. All of
// the following run with the lock held.

// A registry value of the device's hardware key, or a device property (same shape:
// a name, a registry type and the bytes exactly as stored).
struct DevValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

struct DeviceNode {
    std::string id;    // device instance ID, "ROOT\PORTS\0000"
    std::string file;  // its file, "" until first written
    GUID class_guid{};
    bool present = true;
    std::string driver;  // "oem3.inf" once installed
    bool has_order = false;
    unsigned long long order = 0;
    bool has_key = false;  // the hardware key (DIREG_DEV) exists
    // The key's access list lets callers read it only, as Windows' does for a user
    // without administrator rights: an open that asks for more is refused.
    bool key_read_only = false;
    std::vector<DevValue> props;
    std::vector<DevValue> values;

    DevValue *find_prop(const std::string &name);
    const DevValue *find_prop(const std::string &name) const;
    DevValue *find_value(const std::string &name);
    const DevValue *find_value(const std::string &name) const;
    // The "PortName" value as text (bytes up to the first NUL); false when there is none.
    bool port_name(std::string &out) const;
};

// The folder of the current root's device tree (not created by asking).
std::string devtree_dir();
// All device nodes of the tree in `dir`, in listing order: nodes without an order
// number first by file name, then the others by order number.
std::vector<DeviceNode> devtree_list(const std::string &dir);
// The node with this instance ID (compared without regard to case); false when none.
bool devtree_load(const std::string &dir, const std::string &id, DeviceNode &node);
// Rewrites an existing node atomically. ERROR_NO_SUCH_DEVINST when it is gone.
DWORD devtree_save(const std::string &dir, DeviceNode &node);
// Writes a new node, giving it the next order number. ERROR_DEVINST_ALREADY_EXISTS when
// a node of that ID is there already.
DWORD devtree_create(const std::string &dir, DeviceNode &node);
// Deletes the node's file. ERROR_NO_SUCH_DEVINST when it is gone.
DWORD devtree_remove(const std::string &dir, const std::string &id);

// The text of a device file and back; parse skips lines it cannot read.
std::string devtree_format(const DeviceNode &node);
void devtree_parse(const std::string &text, DeviceNode &node, const std::string &where);

// "{4D36E978-E325-11CE-BFC1-08002BE10318}" and back.
std::string guid_text(const GUID &g, bool lower = false);
bool guid_parse(const std::string &text, GUID &g);
bool id_equal(const std::string &a, const std::string &b);

// Registers the port resolver with the driver on first use of the tree.
void devtree_use();
// The resolver: starts the port of an installed, present device whose PortName is
// `name` (without regard to case); false when there is none.
bool devtree_resolve_port(const std::string &name);

// The device of a set's element, for the functions that act on registered devices:
// its tree folder and instance ID. Errors: ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER
// (not an element of the set), ERROR_NO_SUCH_DEVINST (not registered, or removed).
DWORD devinfo_device(HDEVINFO set, const SP_DEVINFO_DATA *data, std::string &dir, std::string &id);

// A new handle to the hardware key of the device (registry.cpp).
HKEY regkey_open(const std::string &dir, const std::string &id, REGSAM access);

}  // namespace winsim
