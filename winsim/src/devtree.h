// What the INF side needs to know of the device tree.
#pragma once

#include <string>

namespace winsim {

// Whether a device node is installed with the driver package "oemN.inf" (name compared
// without regard to case). Lock held.
bool devtree_inf_in_use(const std::string &inf_name);

}  // namespace winsim
