// "get_system_ports_req": every present Ports-class device that has a port name, with
// its friendly name and description, rebuilt on each request.
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "service.h"

#define SPORTS_SLOTS 256
#define SPORT_TEXT_MAX 254

struct sport {
    char portname[256];
    char friendlyname[256];
    char portdesc[256];
    sport *next;
};

static sport *sports[SPORTS_SLOTS];

// Reads a text property; one the device lacks, or that does not fit the record whole,
// is listed as the empty text.
static void read_text_property(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, char *buf)
{
    char value[256];
    memset(value, 0, sizeof value);
    buf[0] = '\0';
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, NULL, reinterpret_cast<PBYTE>(value), 255, NULL))
        return;
    if (strnlen(value, sizeof value) <= SPORT_TEXT_MAX)
        strcpy(buf, value);
}

int add_system_port(HDEVINFO set, PSP_DEVINFO_DATA device, const char *hardware_id, const char *port_name)
{
    (void)hardware_id;
    (void)port_name;
    char name[256];
    HKEY key = open_port_name(set, device, name);
    if (key == NULL)
        return -1;
    RegCloseKey(key);
    if (strlen(name) > SPORT_TEXT_MAX) {
        vsp_log("PortName longer than %d characters, device left out\n", SPORT_TEXT_MAX);
        return -1;
    }
    char friendly[256];
    char desc[256];
    read_text_property(set, device, SPDRP_FRIENDLYNAME, friendly);
    read_text_property(set, device, SPDRP_DEVICEDESC, desc);
    vsp_log("PortName(%s), SPDRP_FRIENDLYNAME: %s, SPDRP_DEVICEDESC: %s\n", name, friendly, desc);

    int slot = 0;
    while (slot < SPORTS_SLOTS && sports[slot] != NULL)
        slot++;
    if (slot == SPORTS_SLOTS)
        return 0;
    sport *record = static_cast<sport *>(calloc(1, sizeof(sport)));
    if (record == NULL) {
        vsp_log("add_system_port: no memory, %s left out\n", name);
        return 0;
    }
    strcpy(record->portname, name);
    strcpy(record->friendlyname, friendly);
    strcpy(record->portdesc, desc);
    sports[slot] = record;
    return 0;
}

static sport *sports_link(void)
{
    sport *first = NULL;
    sport *last = NULL;
    for (int i = 0; i < SPORTS_SLOTS; i++) {
        if (sports[i] == NULL)
            continue;
        if (first == NULL)
            first = sports[i];
        else
            last->next = sports[i];
        last = sports[i];
        last->next = NULL;
    }
    return first;
}

void on_get_system_ports_req(json_object *request)
{
    (void)request;
    json_object *body = json_object_new_object();
    json_object *list = json_object_new_array();
    for (int i = 0; i < SPORTS_SLOTS; i++) {
        free(sports[i]);
        sports[i] = NULL;
    }
    enum_ports(NULL, NULL, add_system_port);
    for (sport *record = sports_link(); record != NULL; record = record->next) {
        json_object *item = json_object_new_object();
        json_object_object_add(item, "portname", json_object_new_string(record->portname));
        json_object_object_add(item, "portdesc", json_object_new_string(record->portdesc));
        json_object_object_add(item, "friendlyname", json_object_new_string(record->friendlyname));
        json_object_array_add(list, item);
    }
    json_object_object_add(body, "sports", list);
    send_msg_to_app("get_system_ports_resp", body);
}
