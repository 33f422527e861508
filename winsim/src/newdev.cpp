// DiInstallDevice: installs a registered device node with the best driver among the
// installed driver packages, as the Ports class installer would, and starts it.
#include "core.h"
#include "lasterror.h"
#include "devtree.h"
#include "driver.h"
#include "inf.h"

namespace winsim {

namespace {

// The strings of a REG_MULTI_SZ list; a list stored without its closing NULs still
// yields its last string.
void split_multi_sz(const std::string &data, std::vector<std::string> &out)
{
    size_t pos = 0;
    while (pos < data.size()) {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos)
            end = data.size();
        if (end == pos)
            break;  // an empty string ends the list
        out.push_back(data.substr(pos, end - pos));
        pos = end + 1;
    }
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" BOOL WINAPI DiInstallDevice(HWND, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       PSP_DRVINFO_DATA_A DriverInfoData, DWORD Flags, PBOOL NeedReboot)
{
    if (DWORD e = api_enter("DiInstallDevice", DeviceInfoSet))
        return fail(e, FALSE);
    if (Flags & ~(DIIDFLAG_SHOWSEARCHUI | DIIDFLAG_NOFINISHINSTALLUI | DIIDFLAG_INSTALLNULLDRIVER))
        return fail(ERROR_INVALID_FLAGS, FALSE);
    // Nothing here builds driver lists, so a driver given by the caller cannot come
    // from this layer.
    if (!DeviceInfoData || DriverInfoData)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Guard g(lock);
    std::string dir, id;
    if (DWORD e = devinfo_device(DeviceInfoSet, DeviceInfoData, dir, id))
        return fail(e, FALSE);
    DeviceNode node;
    if (!devtree_load(dir, id, node))
        return fail(ERROR_NO_SUCH_DEVINST, FALSE);
    std::string port;
    bool has_port = node.port_name(port) && !port.empty();

    if (Flags & DIIDFLAG_INSTALLNULLDRIVER) {
        // No function driver: the device keeps no package and has no port.
        bool was_installed = !node.driver.empty();
        node.driver.clear();
        if (DWORD e = devtree_save(dir, node))
            return fail(e, FALSE);
        if (was_installed && has_port)
            driver_port_stop_locked(port);
        if (NeedReboot)
            *NeedReboot = FALSE;
        return succeed(TRUE);
    }

    // Hardware IDs first, in their order, then the compatible IDs; the first ID that
    // any package lists decides, and its best match wins.
    std::vector<std::string> ids;
    if (const DevValue *p = node.find_prop("HardwareID"))
        split_multi_sz(p->data, ids);
    if (const DevValue *p = node.find_prop("CompatibleIDs"))
        split_multi_sz(p->data, ids);
    std::vector<DriverMatch> matches;
    for (auto &hwid : ids) {
        matches = find_drivers_for_hardware_id(hwid);
        if (!matches.empty())
            break;
    }
    if (matches.empty())
        return fail(ERROR_NO_DRIVER_SELECTED, FALSE);
    const DriverMatch &best = matches.front();

    node.driver = best.inf_name;
    auto set_prop = [&](const char *name, const std::string &text) {
        std::string bytes = text + '\0';
        if (DevValue *p = node.find_prop(name))
            *p = DevValue{name, REG_SZ, bytes};
        else
            node.props.push_back(DevValue{name, REG_SZ, bytes});
    };
    set_prop("DeviceDesc", best.description);
    // The Ports class installer names a port's device after its port.
    if (has_port)
        set_prop("FriendlyName", best.description + " (" + port + ")");
    if (DWORD e = devtree_save(dir, node))
        return fail(e, FALSE);
    // A device that fails to start is still installed (on Windows it shows a problem
    // code); opening its port then fails.
    if (has_port)
        driver_port_start_locked(port);
    if (NeedReboot)
        *NeedReboot = FALSE;
    return succeed(TRUE);
}
