// The control protocol as the pipe client meets it: the service runs in process, a
// client talks to it, and each answer is checked byte for byte together with what the
// service logged while handling the request.
#include <filesystem>
#include <functional>

#include "service_fixture.h"

using namespace e2e;

namespace {

const std::string kListing = request("get_all_ports_req", "{}");

std::string port_item(const std::string &gateway, const std::string &name, int channel)
{
    return "{ \"gateway_id\": \"" + gateway + "\", \"portname\": \"" + name + "\", \"channel_id\": " +
           std::to_string(channel) + " }";
}

std::string listing(const std::vector<std::string> &items)
{
    std::string list = "[";
    for (size_t i = 0; i < items.size(); i++)
        list += (i ? ", " : " ") + items[i];
    list += " ]";
    return answer("get_all_ports_resp", "{ \"vports\": " + list + " }");
}

class Control : public ServiceTest {
protected:
    // Starts the service and connects the client.
    void serve()
    {
        start();
        ASSERT_TRUE(client.connect(root));
        ASSERT_NE(seen = wait_client(), std::string::npos) << log.text();
    }

    // Sends a request and returns its answer; `handled` gets what the service logged
    // from receiving it up to the line of the answer's write.
    std::string ask(const std::string &text, std::string *handled = nullptr)
    {
        if (!client.send_json(text))
            return "<not sent>";
        auto got = client.recv_json();
        if (!got)
            return "<no answer>";
        std::string head = "get msg: " + text + "\n";
        size_t start = log.wait_for(head, seen);
        size_t end = start == std::string::npos ? start : log.wait_for("send_msg_to_app, ", start);
        end = end == std::string::npos ? end : log.wait_for("\n", end);
        if (end == std::string::npos) {
            ADD_FAILURE() << "the handling of " << text << " was not logged:\n" << log.text();
        } else {
            if (handled)
                *handled = log.text().substr(start - head.size(), end - start + head.size());
            seen = end;
        }
        return *got;
    }
    std::string ask(const std::string &msg_id, const std::string &body, std::string *handled = nullptr)
    {
        return ask(request(msg_id, body), handled);
    }

    // Sends a message that must not be answered, shows that by the answer to a listing
    // sent right behind it, and returns what the service logged for the message.
    std::string unanswered(const std::string &text)
    {
        if (!client.send_json(text) || !client.send_json(kListing))
            return "<not sent>";
        auto got = client.recv_json();
        EXPECT_TRUE(got && got->rfind("{ \"msg_id\": \"get_all_ports_resp\"", 0) == 0)
            << "answered: " << got.value_or("<nothing>");
        std::string head = "get msg: " + text + "\n";
        size_t start = log.wait_for(head, seen);
        size_t next = start == std::string::npos ? start : log.wait_for("get msg: " + kListing + "\n", start);
        size_t end = next == std::string::npos ? next : log.wait_for("send_msg_to_app, ", next);
        end = end == std::string::npos ? end : log.wait_for("\n", end);
        if (end == std::string::npos)
            return "<not logged>";
        seen = end;
        // The message's lines end where the event loop's own lines or the listing begin.
        std::string out = log.text().substr(start - head.size(), next - (kListing.size() + 10) - (start - head.size()));
        return out.substr(0, out.find("set_events, "));
    }

    // How many requests reached a device while `f` ran.
    size_t requests_during(const std::function<void()> &f)
    {
        winsim::clear_calls();
        f();
        return winsim::call_count("DeviceIoControl");
    }

    bool device_exists(const std::string &file)
    {
        return std::filesystem::exists(root + "/devices/" + file + ".device");
    }

    PipeClient client;
    size_t seen = 0;
};

// ------------------------------------------------------------------ dispatcher

TEST_F(Control, MessagesWithoutAUsableNameOrBodyAreLoggedAndNotAnswered)
{
    serve();
    EXPECT_EQ(ask(kListing), listing({}));
    struct Case {
        std::string text, logged;
    } cases[] = {
        {"not json", "parse msg fail: not json\n"},
        {"", "parse msg fail: \n"},
        {"{\"msg_body\": {}}", "can't get msg_id\n"},
        {"{}", "can't get msg_id\n"},
        {"{\"msg_id\": null, \"msg_body\": {}}", "can't get msg_id\n"},
        {"[\"get_all_ports_req\", {}]", "can't get msg_id\n"},
        {"{\"msg_id\": \"get_all_ports_req\"}", "can't get msg_body\n"},
        {"{\"msg_id\": \"get_all_ports_req\", \"msg_body\": null}", "can't get msg_body\n"},
        {"{\"msg_id\": \"Get_all_ports_req\", \"msg_body\": {}}",
         "get msg: Get_all_ports_req\nunknown msg_id: Get_all_ports_req\n"},
        {"{\"msg_id\": \"create_port_req \", \"msg_body\": {}}",
         "get msg: create_port_req \nunknown msg_id: create_port_req \n"},
        {"{\"msg_id\": 5, \"msg_body\": {}}", "get msg: 5\nunknown msg_id: 5\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(unanswered(c.text), "get msg: " + c.text + "\n" + c.logged);

    // Members beyond the two, in any order, change nothing; the listing's body is not read.
    std::string handled;
    EXPECT_EQ(ask("{\"extra\": [1], \"msg_body\": 7, \"msg_id\": \"get_all_ports_req\", \"more\": null}", &handled),
              listing({}));
    EXPECT_NE(handled.find("get msg: get_all_ports_req\nsend_msg_to_app, Write OK\n"), std::string::npos) << handled;
}

TEST_F(Control, TheListingOfPortsFollowsChannelOrderWithSlashesEscaped)
{
    for (int i = 0; i < 8; i++) {
        std::string name = i == 2 ? "CT/2" : "CTL" + std::to_string(i);  // a slash: no device opens by it
        seed_virtual_port(root, "ROOT#PORTS#000" + std::to_string(i), name, "gw-" + std::to_string(i));
    }
    serve();
    for (int channel : {1, 3, 4, 5, 6})
        ASSERT_EQ(ask("remove_port_req", "{\"channel_id\": " + std::to_string(channel) + "}"),
                  code_answer("remove_port_resp", 0));
    EXPECT_EQ(ask(kListing), listing({port_item("gw-0", "CTL0", 0), port_item("gw-2", "CT\\/2", 2),
                                      port_item("gw-7", "CTL7", 7)}));
}

TEST_F(Control, AnAnswerLongerThanOneFrameIsSentWholeAsValidJson)
{
    std::vector<std::string> items;
    for (int i = 0; i < 12; i++) {
        std::string gateway(200, (char)('a' + i));
        std::string name = "CTBIG" + std::to_string(i);
        seed_device(root, "ROOT#PORTS#00" + std::string(i < 10 ? "0" : "") + std::to_string(i),
                    kPortsClass + "HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\nvalue PortName = sz \"" + name +
                        "\\0\"\nvalue QorGatewayID = sz \"" + gateway + "\\0\"\n");
        items.push_back(port_item(gateway, name, i));
    }
    serve();
    std::string got = ask(kListing);
    EXPECT_GT(got.size(), 2045u);
    EXPECT_EQ(got, listing(items));
    json_object *parsed = json_tokener_parse(got.c_str());
    ASSERT_NE(parsed, nullptr);
    json_object *body = json_object_object_get(parsed, "msg_body");
    EXPECT_EQ(json_object_array_length(json_object_object_get(body, "vports")), 12u);
    json_object_put(parsed);
}

// ------------------------------------------------------------------ create_port_req

TEST_F(Control, CreatingAPortAnswersWithItsChannelOrWhyNot)
{
    for (int i = 0; i < 3; i++)
        seed_virtual_port(root, "ROOT#PORTS#000" + std::to_string(i), "CTC" + std::to_string(i), "gw");
    serve();

    std::string handled;
    EXPECT_EQ(ask("create_port_req", "{}", &handled), code_answer("create_port_resp", 101));
    EXPECT_NE(handled.find("can't get gateway_id\n"), std::string::npos) << handled;
    EXPECT_EQ(ask("create_port_req", "{\"gateway_id\": null, \"portname\": \"CTCX\"}"),
              code_answer("create_port_resp", 101));
    EXPECT_EQ(ask("create_port_req", "{\"gateway_id\": \"g\"}", &handled), code_answer("create_port_resp", 102));
    EXPECT_NE(handled.find("can't get portname\n"), std::string::npos) << handled;
    EXPECT_EQ(ask("create_port_req", "[\"g\", \"CTCX\"]"), code_answer("create_port_resp", 101));
    EXPECT_EQ(winsim::call_count("SetupDiCreateDeviceInfoList"), 0u) << "no device is made";

    // No driver package to install: the system's text, its line end escaped.
    EXPECT_EQ(ask("create_port_req", "{\"gateway_id\": \"g\", \"portname\": \"CTC9\"}"),
              code_answer("create_port_resp", 1,
                          "There is no driver selected for the device information set or element.\\r\\n"));
    // A failure the system has no text for still says something.
    winsim::fail_next("SetupDiCreateDeviceInfoList", 0x2000ABCD);
    EXPECT_EQ(ask("create_port_req", "{\"gateway_id\": \"g\", \"portname\": \"CTC9\"}"),
              code_answer("create_port_resp", 1, "the port could not be created and the system gave no reason"));

    seed_driver_package(root);
    std::string created = ask("create_port_req", "{\"portname\": \"CTC3\", \"gateway_id\": 42}");
    EXPECT_EQ(created, "{ \"msg_id\": \"create_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\", "
                       "\"channel_id\": 3 } }");
    EXPECT_EQ(created.size(), 99u);
    EXPECT_EQ(ask("{\"more\": 1, \"msg_body\": {\"x\": [], \"portname\": \"CTC4\", \"gateway_id\": \"g4\"}, "
                  "\"msg_id\": \"create_port_req\"}"),
              "{ \"msg_id\": \"create_port_resp\", \"msg_body\": { \"error_code\": 0, \"error_msg\": \"\", "
              "\"channel_id\": 4 } }");
    EXPECT_EQ(ask(kListing), listing({port_item("gw", "CTC0", 0), port_item("gw", "CTC1", 1),
                                      port_item("gw", "CTC2", 2), port_item("42", "CTC3", 3),
                                      port_item("g4", "CTC4", 4)}));
}

// ------------------------------------------------------------------ get_system_ports_req

TEST_F(Control, TheSystemPortListingShowsEveryPresentPortsDeviceWithAName)
{
    seed_device(root, "ACPI#PNP0501#1",
                kPortsClass + "FriendlyName = sz \"Communications Port (COM1)\\0\"\n"
                              "DeviceDesc = sz \"Communications Port\\0\"\nvalue PortName = sz \"COM1\\0\"\n");
    seed_device(root, "ACPI#PNP0501#2", kPortsClass + "DeviceDesc = sz \"no name\\0\"\ndevkey = yes\n");
    seed_device(root, "ACPI#PNP0501#3", kPortsClass + "DeviceDesc = sz \"no key\\0\"\n");
    seed_device(root, "ACPI#PNP0501#4", kPortsClass + "present = no\nvalue PortName = sz \"COM4\\0\"\n");
    seed_device(root, "PCI#NET#5",
                "class = {4D36E972-E325-11CE-BFC1-08002BE10318}\nvalue PortName = sz \"COM5\\0\"\n");
    seed_virtual_port(root, "ROOT#PORTS#0000", "CTS7", "gw");
    seed_device(root, "ZZZ#X#6",
                kPortsClass + "FriendlyName = sz \"" + std::string(300, 'F') +
                    "\\0\"\nDeviceDesc = sz \"Desc 9\\0\"\nvalue PortName = sz \"COM9\\0\"\n");
    serve();

    const std::string expected = answer(
        "get_system_ports_resp",
        "{ \"sports\": [ { \"portname\": \"COM1\", \"portdesc\": \"Communications Port\", \"friendlyname\": "
        "\"Communications Port (COM1)\" }, { \"portname\": \"CTS7\", \"portdesc\": \"\", \"friendlyname\": \"\" }, "
        "{ \"portname\": \"COM9\", \"portdesc\": \"Desc 9\", \"friendlyname\": \"\" } ] }");
    std::string handled;
    std::string text = request("get_system_ports_req", "{}");
    EXPECT_EQ(ask(text, &handled), expected);
    char key_error[64];
    snprintf(key_error, sizeof key_error, "SetupDiOpenDevRegKey fail, error_code=%u\n",
             (unsigned)ERROR_KEY_DOES_NOT_EXIST);
    EXPECT_EQ(handled, "get msg: " + text +
                           "\nget msg: get_system_ports_req\n"
                           "PortName(COM1), SPDRP_FRIENDLYNAME: Communications Port (COM1), SPDRP_DEVICEDESC: "
                           "Communications Port\n"
                           "RegQueryValueEx fail for PortName: 2\n" +
                           key_error +
                           "PortName(CTS7), SPDRP_FRIENDLYNAME: , SPDRP_DEVICEDESC: \n"
                           "PortName(COM9), SPDRP_FRIENDLYNAME: , SPDRP_DEVICEDESC: Desc 9\n"
                           "send_msg_to_app, Write OK\n");
    // The same devices, the same list, whatever the body holds.
    EXPECT_EQ(ask("get_system_ports_req", "{\"sports\": [1, 2]}"), expected);
    EXPECT_EQ(ask("get_system_ports_req", "\"x\""), expected);

    // No set of devices: an empty list, not an error, and the old records are gone.
    winsim::fail_next("SetupDiGetClassDevsExA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ask("get_system_ports_req", "{}", &handled), answer("get_system_ports_resp", "{ \"sports\": [ ] }"));
    EXPECT_NE(handled.find("SetupDiGetClassDevsEx fail\n"), std::string::npos) << handled;
}

// ------------------------------------------------------------------ remove_port_req

TEST_F(Control, RemovingAPortFreesItsChannelAndDeletesItsDeviceNode)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "CTR0", "gw-0");
    seed_virtual_port(root, "ROOT#PORTS#0001", "CTR1", "gw-1");
    serve();
    vport *first = vports[0];  // the service is waiting: the table is still

    std::string handled;
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 300}", &handled),
              code_answer("remove_port_resp", 1, "can't find port for cid=300"));
    EXPECT_NE(handled.find("vports_find_by_channel_id(300) is " + ptr(nullptr) + "\n"), std::string::npos) << handled;
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": -1}"),
              code_answer("remove_port_resp", 1, "can't find port for cid=-1"));
    EXPECT_EQ(ask("remove_port_req", "{}", &handled), code_answer("remove_port_resp", 101));
    EXPECT_NE(handled.find("can't get channel_id\n"), std::string::npos) << handled;
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": null}"), code_answer("remove_port_resp", 101));
    EXPECT_EQ(ask(kListing), listing({port_item("gw-0", "CTR0", 0), port_item("gw-1", "CTR1", 1)}));

    std::string text = request("remove_port_req", "{\"channel_id\": 0}");
    EXPECT_EQ(ask(text, &handled), code_answer("remove_port_resp", 0));
    EXPECT_EQ(handled, "get msg: " + text + "\nget msg: remove_port_req\nvports_find_by_channel_id(0) is " +
                           ptr(first) +
                           "\nwill enum port(CTR0) for remove\nCTR0\nwill remove one port: CTR0\nremove ok\nCTR1\n"
                           "send_msg_to_app, Write OK\n");
    EXPECT_FALSE(device_exists("ROOT#PORTS#0000"));
    EXPECT_EQ(ask(text), code_answer("remove_port_resp", 1, "can't find port for cid=0"));

    // A device node that is gone already: nothing to remove, and no error.
    std::filesystem::remove(root + "/devices/ROOT#PORTS#0001.device");
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 1}", &handled), code_answer("remove_port_resp", 0));
    EXPECT_EQ(handled.find("will remove one port"), std::string::npos) << handled;
    EXPECT_EQ(ask(kListing), listing({}));
}

TEST_F(Control, ARemovalWhoseDeviceStaysOrWhoseWalkFailsStillFreesTheChannel)
{
    // Another port of the class whose key cannot be opened, listed first.
    seed_device(root, "ACPI#PNP0501#1", kPortsClass + "HardwareID = multi_sz \"ACPI\\\\PNP0501\\0\\0\"\n");
    for (int i = 0; i < 3; i++)
        seed_virtual_port(root, "ROOT#PORTS#000" + std::to_string(i), "CTF" + std::to_string(i), "gw");
    serve();

    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 0}"),
              code_answer("remove_port_resp", 1, "The requested device registry key does not exist.\\r\\n"));
    EXPECT_TRUE(device_exists("ROOT#PORTS#0000"));

    std::filesystem::remove(root + "/devices/ACPI#PNP0501#1.device");
    std::string handled;
    winsim::fail_next("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 1}", &handled), code_answer("remove_port_resp", 0));
    EXPECT_NE(handled.find("will remove one port: CTF1\nremove fail: error_code=5\n"), std::string::npos) << handled;
    EXPECT_TRUE(device_exists("ROOT#PORTS#0001"));

    // A failed walk the system has no text for is still explained.
    winsim::fail_next("SetupDiGetClassDevsExA", 0x2000ABCD);
    EXPECT_EQ(ask("remove_port_req", "{\"channel_id\": 2}"),
              code_answer("remove_port_resp", 1,
                          "the port was removed from its channel, but the walk over the devices to remove its device "
                          "node failed (error 536914893)"));
    EXPECT_EQ(ask(kListing), listing({}));
}

// ------------------------------------------------------------------ set_port_status_req

TEST_F(Control, StatusRequestsReachTheDriverOnlyWhenTheStatusChanges)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "CTP0", "gw");
    seed_virtual_port(root, "ROOT#PORTS#0001", "CTP1", "gw");
    serve();
    const std::string ok = code_answer("set_port_status_resp", 0);
    auto status = [&](const std::string &ports, std::string *handled = nullptr) {
        return ask("set_port_status_req", "{\"ports\": " + ports + "}", handled);
    };

    EXPECT_EQ(requests_during([&] { EXPECT_EQ(status("[]"), ok); }), 0u);

    std::string handled;
    EXPECT_EQ(requests_during([&] {
                  EXPECT_EQ(status("[{\"channel_id\": 1, \"port_status\": 5}, {\"port_status\": 5, \"channel_id\": 1}]",
                                   &handled),
                            ok);
              }),
              1u);
    EXPECT_EQ(winsim::port_status("CTP1"), 5);
    EXPECT_EQ(winsim::port_status("CTP0"), -1);
    EXPECT_NE(handled.find("IOCTL_SERIAL_PEER_STATUS_CONTROL OK, set status=5, return 1, error_code="),
              std::string::npos)
        << handled;

    EXPECT_EQ(requests_during([&] { EXPECT_EQ(status("[{\"channel_id\": 1, \"port_status\": 7}]"), ok); }), 1u);
    EXPECT_EQ(winsim::port_status("CTP1"), 7);
    // 261 differs from 5 and 7 but goes out as its low byte.
    EXPECT_EQ(requests_during([&] { EXPECT_EQ(status("[{\"channel_id\": 1, \"port_status\": 261}]", &handled), ok); }),
              1u);
    EXPECT_EQ(winsim::port_status("CTP1"), 5);
    EXPECT_NE(handled.find("set status=261, return 1"), std::string::npos) << handled;
    EXPECT_EQ(requests_during([&] { EXPECT_EQ(status("[{\"channel_id\": 1, \"port_status\": 261}]"), ok); }), 0u);

    // Channels without a port: the last one is reported, the others are still served.
    EXPECT_EQ(requests_during([&] {
                  EXPECT_EQ(status("[{\"channel_id\": 1, \"port_status\": 9}, {\"channel_id\": 200, \"port_status\": "
                                   "1}, {\"channel_id\": 201, \"port_status\": 2}]",
                                   &handled),
                            code_answer("set_port_status_resp", 1, "can't find port for cid=201"));
              }),
              1u);
    EXPECT_EQ(winsim::port_status("CTP1"), 9);
    EXPECT_NE(handled.find("set_port_status fail: channel_id=200, status=1\nset_port_status fail: channel_id=201, "
                           "status=2\n"),
              std::string::npos)
        << handled;
}

TEST_F(Control, MalformedStatusRequestsAreAnsweredWithTheirCodes)
{
    seed_virtual_port(root, "ROOT#PORTS#0000", "CTQ0", "gw");
    seed_virtual_port(root, "ROOT#PORTS#0001", "CTQ1", "gw");
    // Installed without a driver: its device does not open.
    seed_device(root, "ROOT#PORTS#0002",
                kPortsClass + "HardwareID = multi_sz \"Qor\\\\Vsp\\0\\0\"\nvalue PortName = sz \"CTQ2\\0\"\n"
                              "value QorGatewayID = sz \"gw\\0\"\n");
    serve();
    std::string handled;
    for (const char *body : {"{}", "{\"ports\": null}", "{\"ports\": 5}", "{\"ports\": {\"channel_id\": 1}}", "[]"}) {
        EXPECT_EQ(ask("set_port_status_req", body, &handled), code_answer("set_port_status_resp", 101)) << body;
        EXPECT_NE(handled.find("can't get ports\n"), std::string::npos) << handled;
    }
    for (const char *ports : {"[null]", "[5]", "[\"x\"]", "[[1, 2]]", "[{\"channel_id\": null, \"port_status\": 1}]",
                              "[{\"channel_id\": 200, \"port_status\": 1}, {\"port_status\": 3}]"}) {
        EXPECT_EQ(ask("set_port_status_req", std::string("{\"ports\": ") + ports + "}", &handled),
                  code_answer("set_port_status_resp", 101))
            << ports;
        EXPECT_NE(handled.find("can't get channel_id\n"), std::string::npos) << handled;
    }

    // What the elements before the missing member did stays done.
    EXPECT_EQ(ask("set_port_status_req",
                  "{\"ports\": [{\"channel_id\": 1, \"port_status\": 10}, {\"channel_id\": 0}, "
                  "{\"channel_id\": 0, \"port_status\": 11}]}",
                  &handled),
              code_answer("set_port_status_resp", 102));
    EXPECT_NE(handled.find("can't get port_status\n"), std::string::npos) << handled;
    EXPECT_EQ(winsim::port_status("CTQ1"), 10);
    EXPECT_EQ(winsim::port_status("CTQ0"), -1) << "no element after the missing member is served";

    // A port whose device did not open: the request fails, the status is kept.
    const std::string ok = code_answer("set_port_status_resp", 0);
    const std::string to_2 = "{\"ports\": [{\"channel_id\": 2, \"port_status\": 4}]}";
    EXPECT_EQ(requests_during([&] {
                  EXPECT_EQ(ask("set_port_status_req", to_2, &handled), ok);
              }),
              1u);
    EXPECT_NE(handled.find("IOCTL_SERIAL_PEER_STATUS_CONTROL fail, error_code=6\n"), std::string::npos) << handled;
    EXPECT_EQ(requests_during([&] { EXPECT_EQ(ask("set_port_status_req", to_2), ok); }), 0u);
}

}  // namespace
