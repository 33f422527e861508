// The virtual serial port driver as the service uses it: four buffered device I/O
// control requests on each port's device, and the codes a READ completes with.
#pragma once

#include "platform/platform.h"

#define IOCTL_SERIAL_PEER_READ_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_PEER_WRITE_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_PEER_OPEN_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 202, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_PEER_STATUS_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 203, METHOD_BUFFERED, FILE_ANY_ACCESS)

// A READ that ends with one of these codes tells of a program, not of data.
#define VSP_READ_PORT_OPENED 711
#define VSP_READ_PORT_CLOSED 710

// Data bytes one READ may deliver; the frame to the client has the channel byte in front.
#define VSP_READ_SIZE 2047

// A request counts as issued when it was done at once or is pending.
static inline BOOL vsp_request_issued(BOOL result, DWORD code)
{
    return result || code == ERROR_IO_PENDING;
}
