// Fixed names of the port service: what clients, devices and the driver package
// know it by. Builds of the module that differ keep their differences here.
#pragma once

#define VSP_PIPE_NAME "\\\\.\\pipe\\qor_vport_pipe"
#define VSP_MUTEX_NAME "QorVspMutex"
// The first hardware ID of every virtual port device node.
#define VSP_HARDWARE_ID "Qor\\Vsp"
// REG_SZ values in a virtual port's device key.
#define VSP_VALUE_PORTNAME "PortName"
#define VSP_VALUE_GATEWAYID "QorGatewayID"
