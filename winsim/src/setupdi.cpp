// SetupAPI's device information sets over the device tree of devtree.cpp: listing
// devices, creating and registering device nodes, their properties, removal, and the
// device registry keys.
//
// A set holds elements, each naming one device instance. Elements taken from the tree
// (SetupDiGetClassDevsExA) or registered through the set read and write the device
// file at every call; an element made by SetupDiCreateDeviceInfoA is a draft kept in
// the set until DIF_REGISTERDEVICE writes it into the tree. Its ID stays reserved
// meanwhile, so two sets never generate the same one.
#include <stdio.h>
#include <string.h>

#include <deque>
#include <map>
#include <set>

#include "core.h"
#include "lasterror.h"
#include "devtree.h"
#include "driver.h"

namespace winsim {

namespace {

struct Element {
    ULONG_PTR serial = 0;  // in SP_DEVINFO_DATA.Reserved: names the element within its set
    std::string id;
    GUID class_guid{};
    bool registered = false;
    bool removed = false;
    DeviceNode draft;  // what the node will hold, until registered
    bool has_remove = false;
    SP_REMOVEDEVICE_PARAMS remove{};
};

std::set<std::string> &reserved_ids()
{
    static auto *ids = new std::set<std::string>;
    return *ids;
}

std::string upper(std::string s)
{
    for (auto &c : s)
        c = (char)toupper((unsigned char)c);
    return s;
}

std::string tree_key(const std::string &dir, const std::string &id) { return dir + "|" + upper(id); }

struct DevInfoSet : Object {
    std::string dir;  // the tree the set was made over; a later change of root leaves it be
    bool has_class = false;
    GUID class_guid{};
    // Elements are never erased, so indexes and pointers into the deque stay valid.
    std::deque<Element> elements;
    bool has_remove = false;
    SP_REMOVEDEVICE_PARAMS remove{};

    const char *kind() const override { return "DeviceInfoSet"; }
    void on_close(HANDLE) override
    {
        // Drafts never registered vanish with the set, and so do their reserved IDs.
        for (auto &el : elements)
            if (!el.registered)
                reserved_ids().erase(tree_key(dir, el.id));
    }
    Element *find(const SP_DEVINFO_DATA *data)
    {
        for (auto &el : elements)
            if (el.serial == data->Reserved)
                return &el;
        return nullptr;
    }
    bool contains(const std::string &id) const
    {
        for (auto &el : elements)
            if (id_equal(el.id, id))
                return true;
        return false;
    }
};

ULONG_PTR next_serial = 1;

// Device instance handles are per device and stay the same for the process's life.
DWORD devinst_of(const std::string &dir, const std::string &id)
{
    static auto *numbers = new std::map<std::string, DWORD>;
    auto it = numbers->find(tree_key(dir, id));
    if (it != numbers->end())
        return it->second;
    DWORD n = (DWORD)numbers->size() + 1;
    (*numbers)[tree_key(dir, id)] = n;
    return n;
}

void fill(const DevInfoSet &set, const Element &el, SP_DEVINFO_DATA *data)
{
    data->ClassGuid = el.class_guid;
    data->DevInst = devinst_of(set.dir, el.id);
    data->Reserved = el.serial;
}

Element &add_element(DevInfoSet &set, const std::string &id, const GUID &cls, bool registered)
{
    set.elements.emplace_back();
    Element &el = set.elements.back();
    el.serial = next_serial++;
    el.id = id;
    el.class_guid = cls;
    el.registered = registered;
    return el;
}

bool is_set(HDEVINFO h) { return h && h != INVALID_HANDLE_VALUE; }

// The set and, when `data` is given, its element.
DWORD lookup(HDEVINFO h, const SP_DEVINFO_DATA *data, std::shared_ptr<DevInfoSet> &set, Element **el)
{
    set = handle_get_as<DevInfoSet>(h);
    if (!set)
        return ERROR_INVALID_HANDLE;
    if (!el)
        return 0;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || !(*el = set->find(data)))
        return ERROR_INVALID_PARAMETER;
    return 0;
}

// The node an element stands for: the file's content for a registered element, the
// draft otherwise.
DWORD element_node(const DevInfoSet &set, Element &el, DeviceNode &node)
{
    if (el.removed)
        return ERROR_NO_SUCH_DEVINST;
    if (!el.registered) {
        node = el.draft;
        return 0;
    }
    return devtree_load(set.dir, el.id, node) ? 0 : ERROR_NO_SUCH_DEVINST;
}

DWORD store_node(const DevInfoSet &set, Element &el, DeviceNode &node)
{
    if (!el.registered) {
        el.draft = node;
        return 0;
    }
    return devtree_save(set.dir, node);
}

// The properties that are kept as values of the device node, under their registry names.
struct PropInfo {
    DWORD spdrp;
    const char *name;
    DWORD type;
};
const PropInfo stored_props[] = {{SPDRP_DEVICEDESC, "DeviceDesc", REG_SZ},
                                 {SPDRP_HARDWAREID, "HardwareID", REG_MULTI_SZ},
                                 {SPDRP_COMPATIBLEIDS, "CompatibleIDs", REG_MULTI_SZ},
                                 {SPDRP_MFG, "Mfg", REG_SZ},
                                 {SPDRP_FRIENDLYNAME, "FriendlyName", REG_SZ}};
const DWORD last_known_property = 0x24;

const PropInfo *stored_prop(DWORD spdrp)
{
    for (auto &p : stored_props)
        if (p.spdrp == spdrp)
            return &p;
    return nullptr;
}

// The characters Windows allows in a device instance ID, less '#' and '/', which the
// file names of the tree cannot carry.
bool valid_id_part(const std::string &s)
{
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7F || c == ',' || c == '\\' || c == '#' || c == '/')
            return false;
    return true;
}

bool valid_instance_id(const std::string &id)
{
    size_t a = id.find('\\');
    size_t b = a == std::string::npos ? a : id.find('\\', a + 1);
    if (b == std::string::npos)
        return false;
    return valid_id_part(id.substr(0, a)) && valid_id_part(id.substr(a + 1, b - a - 1)) &&
           valid_id_part(id.substr(b + 1));
}

bool id_taken(const std::string &dir, const std::set<std::string> &tree_ids, const std::string &id)
{
    return tree_ids.count(upper(id)) || reserved_ids().count(tree_key(dir, id));
}

HKEY bad_key() { return (HKEY)INVALID_HANDLE_VALUE; }

// The element behind a device-key call, which only registered devices have.
DWORD key_target(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD scope, DWORD key_type, std::shared_ptr<DevInfoSet> &set,
                 DeviceNode &node)
{
    Element *el = nullptr;
    if (DWORD e = lookup(h, data, set, &el))
        return e;
    // Only the global hardware key is kept: the service and the class installer use
    // nothing else.
    if (scope != DICS_FLAG_GLOBAL || key_type != DIREG_DEV)
        return ERROR_INVALID_FLAGS;
    if (!el->registered)
        return ERROR_NO_SUCH_DEVINST;
    return element_node(*set, *el, node);
}

}  // namespace

DWORD devinfo_device(HDEVINFO h, const SP_DEVINFO_DATA *data, std::string &dir, std::string &id)
{
    std::shared_ptr<DevInfoSet> set;
    Element *el = nullptr;
    if (DWORD e = lookup(h, data, set, &el))
        return e;
    if (!el->registered || el->removed)
        return ERROR_NO_SUCH_DEVINST;
    dir = set->dir;
    id = el->id;
    return 0;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsExA(const GUID *ClassGuid, PCSTR Enumerator, HWND, DWORD Flags,
                                       HDEVINFO DeviceInfoSet, PCSTR MachineName, PVOID Reserved)
{
    if (DWORD e = api_enter("SetupDiGetClassDevsExA", DeviceInfoSet))
        return fail(e, (HDEVINFO)INVALID_HANDLE_VALUE);
    if (Reserved)
        return fail(ERROR_INVALID_PARAMETER, (HDEVINFO)INVALID_HANDLE_VALUE);
    // Only the local machine is there; remote device access does not exist here.
    if (MachineName && *MachineName)
        return fail(ERROR_INVALID_MACHINENAME, (HDEVINFO)INVALID_HANDLE_VALUE);
    bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!ClassGuid && !all && !(Flags & DIGCF_DEVICEINTERFACE))
        return fail(ERROR_INVALID_PARAMETER, (HDEVINFO)INVALID_HANDLE_VALUE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    HDEVINFO result = DeviceInfoSet;
    if (is_set(DeviceInfoSet)) {
        if (DWORD e = lookup(DeviceInfoSet, nullptr, set, nullptr))
            return fail(e, (HDEVINFO)INVALID_HANDLE_VALUE);
        if (set->has_class && ClassGuid && !all && *ClassGuid != set->class_guid)
            return fail(ERROR_CLASS_MISMATCH, (HDEVINFO)INVALID_HANDLE_VALUE);
    } else {
        set = std::make_shared<DevInfoSet>();
        set->dir = devtree_dir();
        if (ClassGuid && !all && !(Flags & DIGCF_DEVICEINTERFACE)) {
            set->has_class = true;
            set->class_guid = *ClassGuid;
        }
        result = handle_add(set);
    }
    // No device of the tree exposes an interface, so an interface listing is empty.
    if (Flags & DIGCF_DEVICEINTERFACE)
        return succeed(result);
    std::string enumerator = Enumerator ? Enumerator : "";
    for (auto &node : devtree_list(set->dir)) {
        if ((Flags & DIGCF_PRESENT) && !node.present)
            continue;
        if (!all && node.class_guid != *ClassGuid)
            continue;
        if (set->has_class && node.class_guid != set->class_guid)
            continue;
        if (!enumerator.empty() && !id_equal(node.id, enumerator) &&
            !id_equal(node.id.substr(0, node.id.find('\\')), enumerator))
            continue;
        if (!set->contains(node.id))
            add_element(*set, node.id, node.class_guid, true);
    }
    return succeed(result);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    if (DWORD e = api_enter("SetupDiEnumDeviceInfo", DeviceInfoSet))
        return fail(e, FALSE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    if (DWORD e = lookup(DeviceInfoSet, nullptr, set, nullptr))
        return fail(e, FALSE);
    if (!DeviceInfoData)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (MemberIndex >= set->elements.size())
        return fail(ERROR_NO_MORE_ITEMS, FALSE);
    fill(*set, set->elements[MemberIndex], DeviceInfoData);
    return succeed(TRUE);
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND)
{
    if (DWORD e = api_enter("SetupDiCreateDeviceInfoList"))
        return fail(e, (HDEVINFO)INVALID_HANDLE_VALUE);
    Guard g(lock);
    auto set = std::make_shared<DevInfoSet>();
    set->dir = devtree_dir();
    if (ClassGuid) {
        set->has_class = true;
        set->class_guid = *ClassGuid;
    }
    return succeed(handle_add(set));
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID *ClassGuid,
                                     PCSTR DeviceDescription, HWND, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData)
{
    if (DWORD e = api_enter("SetupDiCreateDeviceInfoA", DeviceInfoSet))
        return fail(e, FALSE);
    if (CreationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS))
        return fail(ERROR_INVALID_FLAGS, FALSE);
    if (!DeviceName)
        return fail(ERROR_INVALID_DEVINST_NAME, FALSE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    if (DWORD e = lookup(DeviceInfoSet, nullptr, set, nullptr))
        return fail(e, FALSE);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER, FALSE);
    GUID cls = ClassGuid ? *ClassGuid : set->class_guid;
    if (set->has_class && cls != set->class_guid)
        return fail(ERROR_CLASS_MISMATCH, FALSE);

    std::set<std::string> tree_ids;
    for (auto &node : devtree_list(set->dir))
        tree_ids.insert(upper(node.id));
    std::string id;
    if (CreationFlags & DICD_GENERATE_ID) {
        // A root-enumerated device: ROOT\<name>\<first free four-digit number>.
        if (!valid_id_part(DeviceName))
            return fail(ERROR_INVALID_DEVINST_NAME, FALSE);
        for (unsigned n = 0; n <= 9999 && id.empty(); n++) {
            char inst[8];
            snprintf(inst, sizeof inst, "%04u", n);
            std::string candidate = upper("ROOT\\" + std::string(DeviceName) + "\\" + inst);
            if (!id_taken(set->dir, tree_ids, candidate))
                id = candidate;
        }
        if (id.empty())
            return fail(ERROR_DEVINST_ALREADY_EXISTS, FALSE);
    } else {
        id = upper(DeviceName);
        if (!valid_instance_id(id))
            return fail(ERROR_INVALID_DEVINST_NAME, FALSE);
        if (id_taken(set->dir, tree_ids, id))
            return fail(ERROR_DEVINST_ALREADY_EXISTS, FALSE);
    }
    reserved_ids().insert(tree_key(set->dir, id));
    Element &el = add_element(*set, id, cls, false);
    el.draft.id = id;
    el.draft.class_guid = cls;
    if (DeviceDescription)
        el.draft.props.push_back(DevValue{"DeviceDesc", REG_SZ, std::string(DeviceDescription) + '\0'});
    if (DeviceInfoData)
        fill(*set, el, DeviceInfoData);
    return succeed(TRUE);
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE *PropertyBuffer, DWORD PropertyBufferSize)
{
    if (DWORD e = api_enter("SetupDiSetDeviceRegistryPropertyA", DeviceInfoSet))
        return fail(e, FALSE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    Element *el = nullptr;
    if (DWORD e = lookup(DeviceInfoSet, DeviceInfoData, set, &el))
        return fail(e, FALSE);
    const PropInfo *info = stored_prop(Property);
    if (!info)
        return fail(ERROR_INVALID_REG_PROPERTY, FALSE);
    if (!PropertyBuffer && PropertyBufferSize)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    DeviceNode node;
    if (DWORD e = element_node(*set, *el, node))
        return fail(e, FALSE);
    DevValue *p = node.find_prop(info->name);
    if (!PropertyBuffer) {
        // No buffer deletes the property.
        if (p)
            node.props.erase(node.props.begin() + (p - node.props.data()));
    } else {
        std::string bytes(reinterpret_cast<const char *>(PropertyBuffer), PropertyBufferSize);
        if (p)
            *p = DevValue{info->name, info->type, bytes};
        else
            node.props.push_back(DevValue{info->name, info->type, bytes});
    }
    if (DWORD e = store_node(*set, *el, node))
        return fail(e, FALSE);
    return succeed(TRUE);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    if (DWORD e = api_enter("SetupDiGetDeviceRegistryPropertyA", DeviceInfoSet))
        return fail(e, FALSE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    Element *el = nullptr;
    if (DWORD e = lookup(DeviceInfoSet, DeviceInfoData, set, &el))
        return fail(e, FALSE);
    if (Property > last_known_property)
        return fail(ERROR_INVALID_REG_PROPERTY, FALSE);
    if (!PropertyBuffer && PropertyBufferSize)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    DeviceNode node;
    if (DWORD e = element_node(*set, *el, node))
        return fail(e, FALSE);

    DevValue value;
    bool have = false;
    if (const PropInfo *info = stored_prop(Property)) {
        if (const DevValue *p = node.find_prop(info->name)) {
            value = *p;
            have = true;
        }
    } else if (Property == SPDRP_CLASSGUID && node.class_guid != GUID{}) {
        // The registry keeps class GUIDs in small letters.
        value = DevValue{"ClassGUID", REG_SZ, guid_text(node.class_guid, true) + '\0'};
        have = true;
    } else if (Property == SPDRP_CLASS && node.class_guid == GUID_DEVCLASS_PORTS) {
        value = DevValue{"Class", REG_SZ, std::string("Ports") + '\0'};
        have = true;
    } else if (Property == SPDRP_ENUMERATOR_NAME) {
        value = DevValue{"Enumerator", REG_SZ, node.id.substr(0, node.id.find('\\')) + '\0'};
        have = true;
    }
    // A property the device does not have reads as invalid data, as on Windows.
    if (!have)
        return fail(ERROR_INVALID_DATA, FALSE);
    DWORD size = (DWORD)value.data.size();
    if (PropertyRegDataType)
        *PropertyRegDataType = value.type;
    if (RequiredSize)
        *RequiredSize = size;
    if (PropertyBufferSize < size)
        return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    if (size)
        memcpy(PropertyBuffer, value.data.data(), size);
    return succeed(TRUE);
}

BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize)
{
    if (DWORD e = api_enter("SetupDiSetClassInstallParamsA", DeviceInfoSet))
        return fail(e, FALSE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    Element *el = nullptr;
    if (DWORD e = lookup(DeviceInfoSet, DeviceInfoData, set, DeviceInfoData ? &el : nullptr))
        return fail(e, FALSE);
    bool &has = el ? el->has_remove : set->has_remove;
    SP_REMOVEDEVICE_PARAMS &params = el ? el->remove : set->remove;
    if (!ClassInstallParams) {
        // No parameters clears those set before.
        if (ClassInstallParamsSize)
            return fail(ERROR_INVALID_PARAMETER, FALSE);
        has = false;
        return succeed(TRUE);
    }
    if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
        return fail(ERROR_INVALID_USER_BUFFER, FALSE);
    // Removal is the only class installer function here that takes parameters.
    if (ClassInstallParams->InstallFunction != DIF_REMOVE ||
        ClassInstallParamsSize != sizeof(SP_REMOVEDEVICE_PARAMS))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    SP_REMOVEDEVICE_PARAMS p;
    memcpy(&p, ClassInstallParams, sizeof p);
    if (p.Scope != DI_REMOVEDEVICE_GLOBAL && p.Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)
        return fail(ERROR_INVALID_FLAGS, FALSE);
    params = p;
    has = true;
    return succeed(TRUE);
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    if (DWORD e = api_enter("SetupDiCallClassInstaller", DeviceInfoSet))
        return fail(e, FALSE);
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    if (DWORD e = lookup(DeviceInfoSet, nullptr, set, nullptr))
        return fail(e, FALSE);
    if (InstallFunction != DIF_REGISTERDEVICE && InstallFunction != DIF_REMOVE) {
        // No driver selection exists here: installing needs DiInstallDevice.
        if (InstallFunction == DIF_INSTALLDEVICE)
            return fail(ERROR_NO_DRIVER_SELECTED, FALSE);
        return fail(ERROR_NOT_SUPPORTED, FALSE);
    }
    if (!DeviceInfoData)
        return fail(ERROR_NO_DEVICE_SELECTED, FALSE);
    Element *el = nullptr;
    if (DWORD e = lookup(DeviceInfoSet, DeviceInfoData, set, &el))
        return fail(e, FALSE);
    if (el->removed)
        return fail(ERROR_NO_SUCH_DEVINST, FALSE);

    if (InstallFunction == DIF_REGISTERDEVICE) {
        if (el->registered)
            return succeed(TRUE);
        DeviceNode node = el->draft;
        if (DWORD e = devtree_create(set->dir, node))
            return fail(e, FALSE);
        el->registered = true;
        el->draft = DeviceNode{};
        reserved_ids().erase(tree_key(set->dir, el->id));
        return succeed(TRUE);
    }

    if (!el->registered)
        return fail(ERROR_NO_SUCH_DEVINST, FALSE);
    if (!el->has_remove)
        return fail(ERROR_NO_CLASSINSTALL_PARAMS, FALSE);
    DeviceNode node;
    if (!devtree_load(set->dir, el->id, node))
        return fail(ERROR_NO_SUCH_DEVINST, FALSE);
    if (el->remove.Scope == DI_REMOVEDEVICE_GLOBAL) {
        if (DWORD e = devtree_remove(set->dir, el->id))
            return fail(e, FALSE);
        // The element stays in the set, so that a walk by index goes on unchanged.
        el->removed = true;
    } else {
        // There is one hardware profile: removing from it leaves a node not present.
        node.present = false;
        if (DWORD e = devtree_save(set->dir, node))
            return fail(e, FALSE);
    }
    // Only an installed device has a port in the driver.
    std::string port;
    if (!node.driver.empty() && node.port_name(port) && !port.empty())
        driver_port_stop_locked(port);
    return succeed(TRUE);
}

HKEY WINAPI SetupDiCreateDevRegKeyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                                    DWORD KeyType, HINF InfHandle, PCSTR)
{
    if (DWORD e = api_enter("SetupDiCreateDevRegKeyA", DeviceInfoSet))
        return fail(e, bad_key());
    // Running an INF section into the new key is not something this layer does.
    if (InfHandle && InfHandle != INVALID_HANDLE_VALUE)
        return fail(ERROR_NOT_SUPPORTED, bad_key());
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    DeviceNode node;
    if (DWORD e = key_target(DeviceInfoSet, DeviceInfoData, Scope, KeyType, set, node))
        return fail(e, bad_key());
    // Creating opens with every access, which a key readable only refuses.
    if (node.key_read_only)
        return fail(ERROR_ACCESS_DENIED, bad_key());
    if (!node.has_key) {
        node.has_key = true;
        if (DWORD e = devtree_save(set->dir, node))
            return fail(e, bad_key());
    }
    return succeed(regkey_open(set->dir, node.id, KEY_ALL_ACCESS));
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                                 DWORD KeyType, REGSAM samDesired)
{
    if (DWORD e = api_enter("SetupDiOpenDevRegKey", DeviceInfoSet))
        return fail(e, bad_key());
    Guard g(lock);
    std::shared_ptr<DevInfoSet> set;
    DeviceNode node;
    if (DWORD e = key_target(DeviceInfoSet, DeviceInfoData, Scope, KeyType, set, node))
        return fail(e, bad_key());
    if (!node.has_key)
        return fail(ERROR_KEY_DOES_NOT_EXIST, bad_key());
    if (node.key_read_only && (samDesired & ~(REGSAM)KEY_READ) != 0)
        return fail(ERROR_ACCESS_DENIED, bad_key());
    return succeed(regkey_open(set->dir, node.id, samDesired));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    if (DWORD e = api_enter("SetupDiDestroyDeviceInfoList", DeviceInfoSet))
        return fail(e, FALSE);
    Guard g(lock);
    if (!handle_get_as<DevInfoSet>(DeviceInfoSet))
        return fail(ERROR_INVALID_HANDLE, FALSE);
    handle_close(DeviceInfoSet);
    return succeed(TRUE);
}

}  // extern "C"
