// Fixed names of the port service: what clients, devices and the driver package
// know it by.
#pragma once

#define VSP_PIPE_NAME "\\\\.\\pipe\\qor_vport_pipe"
#define VSP_MUTEX_NAME "QorVspMutex"
// VSP_HARDWARE_ID, the first hardware ID of every virtual port device node, differs
// between the builds.
#include "build_flavour.h"
// REG_SZ values in a virtual port's device key.
#define VSP_VALUE_PORTNAME "PortName"
#define VSP_VALUE_GATEWAYID "QorGatewayID"
