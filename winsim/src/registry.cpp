// Registry keys of device nodes: an HKEY names the hardware key of one device, whose
// values live in the device's file (devtree.cpp). Every call reads the file anew and
// every change is written at once, atomically; a key whose device was removed meanwhile
// fails with ERROR_KEY_DELETED, as a key deleted under an open handle does on Windows.
// The Reg* functions return their status and leave the thread's last error alone.
#include <string.h>

#include "core.h"
#include "devtree.h"

namespace winsim {

namespace {

struct RegKey : Object {
    std::string dir;
    std::string id;
    REGSAM access = 0;
    const char *kind() const override { return "RegKey"; }
};

// The key's device node, or the status that the call returns.
LSTATUS key_node(HKEY h, REGSAM needed, DeviceNode &node, std::string *dir = nullptr)
{
    auto key = handle_get_as<RegKey>((HANDLE)h);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if ((key->access & needed) != needed)
        return ERROR_ACCESS_DENIED;
    if (!devtree_load(key->dir, key->id, node) || !node.has_key)
        return ERROR_KEY_DELETED;
    if (dir)
        *dir = key->dir;
    return ERROR_SUCCESS;
}

}  // namespace

HKEY regkey_open(const std::string &dir, const std::string &id, REGSAM access)
{
    auto key = std::make_shared<RegKey>();
    key->dir = dir;
    key->id = id;
    key->access = access;
    return (HKEY)handle_add(key);
}

}  // namespace winsim

using namespace winsim;

extern "C" {

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData, DWORD cbData)
{
    if (DWORD e = api_enter("RegSetValueExA", hKey))
        return (LSTATUS)e;
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    Guard g(lock);
    DeviceNode node;
    std::string dir;
    if (LSTATUS s = key_node(hKey, KEY_SET_VALUE, node, &dir))
        return s;
    // The bytes are kept exactly as given: a string without its NUL stays without.
    DevValue v{lpValueName ? lpValueName : "", dwType,
               std::string(reinterpret_cast<const char *>(lpData ? lpData : (const BYTE *)""), cbData)};
    if (DevValue *old = node.find_value(v.name)) {
        old->type = v.type;  // an existing value keeps the spelling of its name
        old->data = v.data;
    } else {
        node.values.push_back(v);
    }
    if (DWORD e = devtree_save(dir, node))
        return e == ERROR_NO_SUCH_DEVINST ? ERROR_KEY_DELETED : (LSTATUS)e;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    if (DWORD e = api_enter("RegQueryValueExA", hKey))
        return (LSTATUS)e;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    Guard g(lock);
    DeviceNode node;
    if (LSTATUS s = key_node(hKey, KEY_QUERY_VALUE, node))
        return s;
    const DevValue *v = node.find_value(lpValueName ? lpValueName : "");
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = v->type;
    DWORD size = (DWORD)v->data.size();
    if (!lpcbData)
        return ERROR_SUCCESS;
    // Without a buffer the call only tells the size; with one too small it tells the
    // size and fails, leaving the buffer's content undefined (here: untouched).
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size)
            memcpy(lpData, v->data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (DWORD e = api_enter("RegCloseKey", hKey))
        return (LSTATUS)e;
    Guard g(lock);
    if (!handle_get_as<RegKey>((HANDLE)hKey))
        return ERROR_INVALID_HANDLE;
    handle_close((HANDLE)hKey);
    return ERROR_SUCCESS;
}

}  // extern "C"
