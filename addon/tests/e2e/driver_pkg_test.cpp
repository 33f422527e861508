// The module's two driver package functions in a real node: the package is taken from
// the "driver" folder beside the host executable, a copy of node in a folder of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "harness.h"

using namespace e2e;

namespace {

namespace fs = std::filesystem;

// The text of a JSON string as the host prints it.
std::string json_string(const std::string &json)
{
    if (json.size() < 2 || json.front() != '"' || json.back() != '"')
        return "<not a string: " + json + ">";
    std::string out;
    for (size_t i = 1; i + 1 < json.size(); i++) {
        char c = json[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        char e = json[++i];
        switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': out += (char)std::stoi(json.substr(i + 1, 4), nullptr, 16); i += 4; break;
        default: out += e;
        }
    }
    return out;
}

// The stand-in's name for a host path outside drive C:: drive Z: is the host's "/".
std::string windows_path(const std::string &host)
{
    std::string out = "Z:" + host;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// node as an application would ship it: its executable in `folder` (a hard link when
// the file system allows, else a copy; either way the process runs by that path).
std::string place_node(const std::string &folder)
{
    fs::create_directories(folder);
    std::string exe = folder + "/node";
    std::error_code ec;
    fs::create_hard_link(fs::canonical(NODE_EXECUTABLE), exe, ec);
    if (ec) {
        fs::copy_file(NODE_EXECUTABLE, exe);
        chmod(exe.c_str(), 0755);
    }
    return exe;
}

// Calls `function`; `log` gets what the module printed during the call.
std::string call_logged(NodeHost &node, const std::string &function, std::string &log)
{
    size_t from = node.output().size();
    std::string result = node.call(function);
    std::string out = node.output();
    size_t at = out.find("result " + function + ": ", from);
    log = at == std::string::npos ? out.substr(from) : out.substr(from, at - from);
    return result;
}

std::string shipped_inf() { return read_file(WINSIM_DRIVER_INF); }

std::string with_driver_ver(const std::string &driver_ver)
{
    std::string inf = shipped_inf();
    const std::string line = "DriverVer   = 11/20/2026,1.0.3.0";
    size_t at = inf.find(line);
    return at == std::string::npos ? inf : inf.replace(at, line.size(), "DriverVer   = " + driver_ver);
}

TEST(DriverPackageInNode, InstallsFromBesideTheHostAndTellsWhenAnUpdateIsNeeded)
{
    TempRoot root;
    std::string folder = root.path + "/app";
    std::string node_exe = place_node(folder);
    write_file(folder + "/driver/qorvsp.inf", shipped_inf());
    const std::string inf = windows_path(folder + "/driver/qorvsp.inf");
    const std::string inf_dir = root.path + "/drive_c/windows/INF";
    const std::string resolved = "GetFullPathName for inf(" + inf + ") OK: " + inf + "\n";
    const std::string local_read = "get_driver_version ok for inf(" + inf + "), version: 11/20/2026 1.0.3.0\n";

    NodeHost node(root.path, node_exe);
    node.load();  // from the build tree: the module's own folder plays no part
    ASSERT_NE(node.wait_for("exports: "), std::string::npos) << node.output();

    std::string log;
    EXPECT_EQ(call_logged(node, "vsp_need_install_driver", log), "\"1\"");
    EXPECT_EQ(log, "begin check_need_install_driver\n"
                   "driver not installed, need install it\n"
                   "end check_need_install_driver\n");

    EXPECT_EQ(call_logged(node, "vsp_install_driver", log), "\"\"");
    EXPECT_EQ(log, resolved + "SetCurrentDirectory for inf(" + inf + ") OK: " + inf + "\n" +
                       "SetupCopyOEMInf ok, dest=oem0.inf\n");
    EXPECT_EQ(read_file(inf_dir + "/oem0.inf"), shipped_inf());

    EXPECT_EQ(call_logged(node, "vsp_need_install_driver", log), "\"0\"");
    EXPECT_EQ(log, "begin check_need_install_driver\n" + resolved + local_read + "end check_need_install_driver\n");

    // A second copy with another version: one differing copy is enough.
    write_file(inf_dir + "/oem1.inf", with_driver_ver("11/20/2026,1.0.2.0"));
    EXPECT_EQ(call_logged(node, "vsp_need_install_driver", log), "\"1\"");
    EXPECT_EQ(log, "begin check_need_install_driver\n" + resolved + local_read + resolved + local_read +
                       "version not same, local driver version: 1.0.3.0, installed driver version: 1.0.2.0\n"
                       "driver has installed, but need update it\n"
                       "end check_need_install_driver\n");

    // Every call answers afresh: with the differing copy gone the answer is "0" again.
    fs::remove(inf_dir + "/oem1.inf");
    EXPECT_EQ(node.call("vsp_need_install_driver"), "\"0\"");
    fs::remove(inf_dir + "/oem0.inf");
    EXPECT_EQ(call_logged(node, "vsp_need_install_driver", log), "\"1\"");
    EXPECT_EQ(log, "begin check_need_install_driver\n"
                   "driver not installed, need install it\n"
                   "end check_need_install_driver\n");
}

TEST(DriverPackageInNode, OnlyTheHostExecutablesFolderCountsNotTheModules)
{
    TempRoot root;
    std::string folder = root.path + "/app";  // no "driver" folder here
    std::string node_exe = place_node(folder);
    // The module in a folder of its own, with a package beside it that must not be used.
    std::string module_dir = root.path + "/modules";
    fs::create_directories(module_dir);
    fs::copy_file(module_path(), module_dir + "/portbridge.node");
    write_file(module_dir + "/driver/qorvsp.inf", shipped_inf());
    const std::string inf = windows_path(folder + "/driver/qorvsp.inf");
    const std::string resolved = "GetFullPathName for inf(" + inf + ") OK: " + inf + "\n";

    NodeHost node(root.path, node_exe);
    node.load(module_dir + "/portbridge.node");
    ASSERT_NE(node.wait_for("exports: "), std::string::npos) << node.output();

    std::string log;
    std::string error_text = json_string(call_logged(node, "vsp_install_driver", log));
    EXPECT_EQ(error_text,
              "[install_driver from inf(" + inf + ") step3 fail]: The system cannot find the file specified.\r\n");
    EXPECT_EQ(log, resolved + "SetCurrentDirectory for inf(" + inf + ") OK: " + inf + "\n" + "SetupCopyOEMInf " +
                       error_text + "\n");
    EXPECT_FALSE(fs::exists(root.path + "/drive_c/windows/INF/oem0.inf"));

    // An installed copy, but no local package to compare it with: nothing to update.
    seed_driver_package(root.path, "oem0.inf");
    EXPECT_EQ(call_logged(node, "vsp_need_install_driver", log), "\"0\"");
    EXPECT_EQ(log, "begin check_need_install_driver\n" + resolved + "get_driver_version fail for inf(" + inf +
                       ")\n"
                       "end check_need_install_driver\n");
}

}  // namespace
