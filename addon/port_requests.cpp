// "remove_port_req" and "set_port_status_req".
#include <string.h>

#include "driver_if.h"
#include "identity.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

void on_remove_port_req(json_object *request)
{
    char error_text[VSP_ERROR_TEXT_SIZE];
    error_text[0] = '\0';
    int code = 0;
    json_object *channel = json_member(request, "channel_id");
    if (channel == NULL) {
        vsp_log("can't get channel_id\n");
        code = 101;
    } else {
        int32_t channel_id = json_object_get_int(channel);
        vport *port = vports_find_by_channel_id(channel_id);
        vsp_log("vports_find_by_channel_id(%d) is %p\n", channel_id, (void *)port);
        if (port == NULL) {
            snprintf(error_text, sizeof error_text, "can't find port for cid=%d", channel_id);
            code = VSP_REMOVE_FAILURE_CODE;
        } else {
            vsp_log("will enum port(%s) for remove\n", port->portname);
            char name[256];
            strcpy(name, port->portname);
            vports_remove(port);
            if (!enum_ports(VSP_HARDWARE_ID, name, remove_one_port)) {
                code = VSP_REMOVE_FAILURE_CODE;
                DWORD error = GetLastError();
                if (system_message(error, error_text) == 0)
                    snprintf(error_text, sizeof error_text,
                             "the port was removed from its channel, but the walk over the devices to remove "
                             "its device node failed (error %u)",
                             (unsigned)error);
            }
        }
    }
    send_msg_to_app("remove_port_resp", answer_body(code, error_text));
}

void on_set_port_status_req(json_object *request)
{
    char error_text[VSP_ERROR_TEXT_SIZE];
    error_text[0] = '\0';
    int code = 0;
    json_object *ports = json_member(request, "ports");
    // Without a usable "ports" array the body lacks its first required member.
    if (ports == NULL || !json_object_is_type(ports, json_type_array)) {
        vsp_log("can't get ports\n");
        ports = NULL;
        code = 101;
    }
    size_t count = ports ? json_object_array_length(ports) : 0;
    for (size_t i = 0; i < count; i++) {
        json_object *element = json_object_array_get_idx(ports, i);
        json_object *channel = json_member(element, "channel_id");
        if (channel == NULL) {
            vsp_log("can't get channel_id\n");
            code = 101;
            error_text[0] = '\0';
            break;
        }
        int32_t channel_id = json_object_get_int(channel);
        json_object *status_value = json_member(element, "port_status");
        if (status_value == NULL) {
            vsp_log("can't get port_status\n");
            code = 102;
            error_text[0] = '\0';
            break;
        }
        int32_t status = json_object_get_int(status_value);
        vport *port = vports_find_by_channel_id(channel_id);
        if (port == NULL) {
            snprintf(error_text, sizeof error_text, "can't find port for cid=%d", channel_id);
            vsp_log("set_port_status fail: channel_id=%d, status=%d\n", channel_id, status);
            code = 1;
            continue;
        }
        if (status != port->port_status) {
            BOOL result = vport_issue_status(port, (unsigned char)(status & 0xFF));
            DWORD error = GetLastError();
            if (vsp_request_issued(result, error))
                vsp_log("IOCTL_SERIAL_PEER_STATUS_CONTROL OK, set status=%d, return %d, error_code=%d\n", status,
                        result, (int)error);
            else
                vsp_log("IOCTL_SERIAL_PEER_STATUS_CONTROL fail, error_code=%d\n", (int)error);
        }
        port->port_status = status;
    }
    send_msg_to_app("set_port_status_resp", answer_body(code, error_text));
}
