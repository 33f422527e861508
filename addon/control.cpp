// The control protocol: JSON messages after a 0xFF byte, parsed and dispatched here;
// "get_all_ports_req" and "create_port_req" are served here too.
#include <string.h>

#include "build_flavour.h"
#include "log.h"
#include "service.h"
#include "sysmsg.h"

json_object *json_member(json_object *obj, const char *key)
{
    if (obj == NULL || !json_object_is_type(obj, json_type_object))
        return NULL;
    return json_object_object_get(obj, key);
}

json_object *answer_body(int error_code, const char *error_msg)
{
    json_object *body = json_object_new_object();
    json_object_object_add(body, "error_code", json_object_new_int(error_code));
    json_object_object_add(body, "error_msg", json_object_new_string(VSP_ANSWERS_CARRY_TEXT ? error_msg : ""));
    return body;
}

void send_msg_to_app(const char *msg_id, json_object *body)
{
    json_object *msg = json_object_new_object();
    json_object_object_add(msg, "msg_id", json_object_new_string(msg_id));
    json_object_object_add(msg, "msg_body", body);
    const char *text = json_object_to_json_string(msg);
    // The whole text goes in one frame, however long: a message-mode pipe carries it,
    // and a cut text would not be JSON any more.
    vsp_log_app_write(pipe_write_frame(0xFF, text, (DWORD)strlen(text)));
    json_object_put(msg);
}

static void on_get_all_ports_req(void)
{
    json_object *body = json_object_new_object();
    json_object *list = json_object_new_array();
    for (vport *port = vports_link(); port != NULL; port = port->next) {
        json_object *item = json_object_new_object();
        json_object_object_add(item, "gateway_id", json_object_new_string(port->gateway_id));
        json_object_object_add(item, "portname", json_object_new_string(port->portname));
        json_object_object_add(item, "channel_id", json_object_new_int(port->channel_id));
        json_object_array_add(list, item);
    }
    json_object_object_add(body, "vports", list);
    send_msg_to_app("get_all_ports_resp", body);
}

static void on_create_port_req(json_object *request)
{
    char error_text[VSP_ERROR_TEXT_SIZE];
    error_text[0] = '\0';
    int code;
    vport *port = NULL;
    json_object *gateway = json_member(request, "gateway_id");
    json_object *name = gateway ? json_member(request, "portname") : NULL;
    if (gateway == NULL) {
        vsp_log("can't get gateway_id\n");
        code = 101;
    } else if (name == NULL) {
        vsp_log("can't get portname\n");
        code = 102;
    } else {
        port = create_port(json_object_get_string(name), json_object_get_string(gateway), error_text);
        code = port ? 0 : 1;
        if (code == 1 && error_text[0] == '\0')
            strcpy(error_text, "the port could not be created and the system gave no reason");
    }
    json_object *body = answer_body(code, error_text);
    if (port != NULL)
        json_object_object_add(body, "channel_id", json_object_new_int(port->channel_id));
    send_msg_to_app("create_port_resp", body);
}

void on_app_msg(const char *text)
{
    vsp_log("get msg: %s\n", text);
    json_object *msg = json_tokener_parse(text);
    if (msg == NULL) {
        vsp_log("parse msg fail: %s\n", text);
        return;
    }
    json_object *id = json_member(msg, "msg_id");
    json_object *body = json_member(msg, "msg_body");
    if (id == NULL) {
        vsp_log("can't get msg_id\n");
    } else if (body == NULL) {
        vsp_log("can't get msg_body\n");
    } else {
        const char *name = json_object_get_string(id);
        vsp_log("get msg: %s\n", name);
        if (strcmp(name, "get_all_ports_req") == 0)
            on_get_all_ports_req();
        else if (strcmp(name, "get_system_ports_req") == 0)
            on_get_system_ports_req(body);
        else if (strcmp(name, "set_port_status_req") == 0)
            on_set_port_status_req(body);
        else if (strcmp(name, "create_port_req") == 0)
            on_create_port_req(body);
        else if (strcmp(name, "remove_port_req") == 0)
            on_remove_port_req(body);
        else
            vsp_log("unknown msg_id: %s\n", name);
    }
    json_object_put(msg);
}
