// What the device side needs to know of the installed driver packages.
#pragma once

#include <string>
#include <vector>

namespace winsim {

// An installed OEM INF whose models list a hardware ID.
struct DriverMatch {
    std::string inf_name;     // "oem3.inf", as the INF folder holds it
    std::string description;  // the model line's description, strings substituted
    std::string driver_date;  // DriverVer field 1
    std::string driver_version;  // DriverVer field 2
};

// All installed OEM INFs ("oem*.inf" in the INF folder, parseable as INF_STYLE_WIN4)
// whose [Manufacturer] models sections (the plain and the decorated ones) list
// `hardware_id` (compared without regard to case), best first: newest DriverVer date,
// then highest version. Lock held.
std::vector<DriverMatch> find_drivers_for_hardware_id(const std::string &hardware_id);

}  // namespace winsim
