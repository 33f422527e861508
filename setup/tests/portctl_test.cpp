// portctl as an administrator runs it: a copy of the program in a folder of its own,
// the stand-in machine under a fresh root, and everything it prints compared byte for
// byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>


#include "e2e/harness.h"

namespace {

using e2e::read_file;
using e2e::write_file;

namespace fs = std::filesystem;

const std::string kUsage =
    "portctl usage:\n portctl install: install vsp driver \n portctl uninstall: uninstall vsp driver \n";



std::string shipped_inf() { return read_file(WINSIM_DRIVER_INF); }

struct Outcome {
    int exit_status = -1;  // the low 8 bits of the exit code, -1 when it did not exit
    std::string out;
    std::string err;
};

// Runs `program` with `args`, VSP_SIM_ROOT=root and the given extra variables; kills it
// after the time-out.
Outcome run(const std::string &program, const std::vector<std::string> &args, const std::string &root,
        const std::map<std::string, std::string> &extra = {}, int timeout_ms = 20000)
{
    std::vector<std::string> env_strings = e2e::child_environment(root, extra);
    std::vector<char *> envp;
    for (auto &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : argv_strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    Outcome result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, (int)left.count()) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, (size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!killed && WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    return result;
}

// The Windows name the stand-in gives a host path: C: is <root>/drive_c, and any other
// host path is on Z:, the host's "/".
std::string windows_path(const std::string &root, const std::string &host)
{
    std::string drive_c = root + "/drive_c/";
    std::string out = host.compare(0, drive_c.size(), drive_c) == 0 ? "C:\\" + host.substr(drive_c.size())
                                                                     : "Z:" + host;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// A Ports-class device node as the stand-in keeps it.
std::string port_device(const std::string &hardware_id, const std::string &port_name, bool ours)
{
    return "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n" +
           std::string(ours ? "driver = oem0.inf\n" : "") + "HardwareID = multi_sz \"" + hardware_id +
           "\\0\\0\"\n"
           "value PortName = sz \"" +
           port_name + "\\0\"\n" + (ours ? "value QorGatewayID = sz \"gw-1\\0\"\n" : "");
}

class Portctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/portctl-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A copy of the built program in `folder` (a host folder), as it would be unpacked.
    std::string place_program(const std::string &folder)
    {
        fs::create_directories(folder);
        std::string copy = folder + "/portctl";
        fs::copy_file(PORTCTL_EXECUTABLE, copy, fs::copy_options::overwrite_existing);
        chmod(copy.c_str(), 0755);
        return copy;
    }

    std::string inf_dir() { return root_ + "/drive_c/windows/INF"; }
    std::string device_file(const std::string &name) { return root_ + "/devices/" + name + ".device"; }
    bool exists(const std::string &path) { return fs::exists(path); }

    std::string root_;
};

TEST_F(Portctl, WrongCommandLinesPrintTheUsageAndExitNonZero)
{
    std::string program = place_program(root_ + "/app");
    struct Case {
        std::vector<std::string> args;
        int exit_status;  // -1 and -2 as the parent sees them
    } cases[] = {
        {{}, 255},
        {{"install", "uninstall"}, 255},
        {{"install", "install"}, 255},
        {{"INSTALL"}, 254},
        {{"Uninstall"}, 254},
        {{"-install"}, 254},
        {{"installx"}, 254},
        {{"install "}, 254},
        {{"uninstal"}, 254},
        {{""}, 254},
    };
    for (const Case &c : cases) {
        std::string line;
        for (auto &a : c.args)
            line += " [" + a + "]";
        SCOPED_TRACE("portctl" + line);
        Outcome r = run(program, c.args, root_);
        EXPECT_EQ(r.exit_status, c.exit_status);
        EXPECT_EQ(r.out, kUsage);
    }
    // Nothing was installed or removed on the way.
    EXPECT_FALSE(exists(inf_dir() + "/oem0.inf"));
}

TEST_F(Portctl, InstallHandsTheDriverFolderBesideTheProgramToTheSystem)
{
    std::string folder = root_ + "/drive_c/Program Files/Qor";
    std::string program = place_program(folder);
    write_file(folder + "/driver/qorvsp.inf", shipped_inf());
    const std::string inf = "C:\\Program Files\\Qor\\driver\\qorvsp.inf";
    ASSERT_EQ(windows_path(root_, folder + "/driver/qorvsp.inf"), inf);

    Outcome r = run(program, {"install"}, root_);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "----- begin install vsp driver ---------"
                     "GetFullPathName for inf(" + inf + ") OK: " + inf + "\n"
                     "SetCurrentDirectory for inf(" + inf + ") OK: " + inf + "\n"
                     "SetupCopyOEMInf ok, dest=oem0.inf\n"
                     "----- success install vsp driver ---------");
    EXPECT_EQ(read_file(inf_dir() + "/oem0.inf"), shipped_inf());
}

TEST_F(Portctl, InstallWithoutTheDriverFolderFailsAtTheCopyStepAndStillExitsZero)
{
    std::string folder = root_ + "/app";  // outside drive C:, on Z:
    std::string program = place_program(folder);
    const std::string inf = windows_path(root_, folder + "/driver/qorvsp.inf");
    ASSERT_EQ(inf.rfind("Z:\\", 0), 0u);
    const std::string error_text =
        "[install_driver from inf(" + inf + ") step3 fail]: The system cannot find the file specified.\r\n";

    Outcome r = run(program, {"install"}, root_);
    EXPECT_EQ(r.exit_status, 0);
    // The system text keeps its line end, so the banner's closing dashes start a line.
    EXPECT_EQ(r.out, "----- begin install vsp driver ---------"
                     "GetFullPathName for inf(" + inf + ") OK: " + inf + "\n"
                     "SetCurrentDirectory for inf(" + inf + ") OK: " + inf + "\n"
                     "SetupCopyOEMInf " + error_text + "\n"
                     "----- fail install vsp driver: " + error_text + " ---------");
    EXPECT_FALSE(exists(inf_dir() + "/oem0.inf"));
}

TEST_F(Portctl, TheBuiltProgramInstallsOutOfTheBox)
{
    Outcome r = run(PORTCTL_EXECUTABLE, {"install"}, root_);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("SetupCopyOEMInf ok, dest=oem0.inf\n----- success install vsp driver ---------"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(inf_dir() + "/oem0.inf"), shipped_inf());
}

TEST_F(Portctl, UninstallRemovesEveryVirtualPortThenEveryPackageCopy)
{
    std::string program = place_program(root_ + "/app");
    write_file(device_file("ROOT#PORTS#0000"), port_device("Qor\\\\Vsp", "COM10", true));
    write_file(device_file("ACPI#PNP0501#1"), port_device("ACPI\\\\PNP0501", "COM1", false));
    write_file(device_file("ROOT#PORTS#0001"), port_device("qor\\\\vsp", "COM12", false));  // other letter case
    write_file(device_file("ROOT#PORTS#0002"), port_device("Qor\\\\Vsp", "COM11", true));
    const std::string inf = shipped_inf();
    write_file(inf_dir() + "/oem0.inf", inf);
    write_file(inf_dir() + "/oem1.inf", inf + "\n; rebuilt\n");
    write_file(inf_dir() + "/oem2.inf", inf + "\n; rebuilt again\n");
    std::string other = "[Version]\nSignature = \"$WINDOWS NT$\"\nClass = Ports\n"
                        "ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}\nProvider = Someone Else\n"
                        "DriverVer = 01/01/2020,1.0.0.0\n";
    write_file(inf_dir() + "/oem3.inf", other);

    // The second copy is refused as not installed.
    Outcome r = run(program, {"uninstall"}, root_, {{"VSP_SIM_FAULTS", "SetupUninstallOEMInfA:0xE000023C:1:1"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "----- begin uninstall vsp driver ---------"
                     "will enum port for remove all ports\n"
                     "will remove one port: \n"
                     "remove ok\n"
                     "will remove one port: \n"
                     "remove ok\n"
                     "begin uninstall_driver\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem0.inf, version: 11/20/2026 1.0.3.0\n"
                     "remove_driver_callback, uninstall driver ok, inf_file(C:\\windows\\INF\\oem0.inf)\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem1.inf, version: 11/20/2026 1.0.3.0\n"
                     "SetupUninstallOEMInf fail, error_code=-536870340\n"
                     "ERROR_NOT_AN_INSTALLED_OEM_INF\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem2.inf, version: 11/20/2026 1.0.3.0\n"
                     "remove_driver_callback, uninstall driver ok, inf_file(C:\\windows\\INF\\oem2.inf)\n"
                     "end uninstall_driver, try uninstall 3 driver(success: 2, fail: 1)\n"
                     "----- end uninstall vsp driver ---------");

    EXPECT_FALSE(exists(device_file("ROOT#PORTS#0000")));
    EXPECT_FALSE(exists(device_file("ROOT#PORTS#0002")));
    EXPECT_EQ(read_file(device_file("ACPI#PNP0501#1")), port_device("ACPI\\\\PNP0501", "COM1", false));
    EXPECT_TRUE(exists(device_file("ROOT#PORTS#0001")));
    EXPECT_FALSE(exists(inf_dir() + "/oem0.inf"));
    EXPECT_TRUE(exists(inf_dir() + "/oem1.inf"));
    EXPECT_FALSE(exists(inf_dir() + "/oem2.inf"));
    EXPECT_EQ(read_file(inf_dir() + "/oem3.inf"), other);
}

TEST_F(Portctl, UninstallOnAMachineWithoutTheDriverReportsNothingTried)
{
    std::string program = place_program(root_ + "/app");
    Outcome r = run(program, {"uninstall"}, root_);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "----- begin uninstall vsp driver ---------"
                     "will enum port for remove all ports\n"
                     "begin uninstall_driver\n"
                     "end uninstall_driver, try uninstall 0 driver(success: 0, fail: 0)\n"
                     "----- end uninstall vsp driver ---------");
}

TEST_F(Portctl, UninstallReportsEachFailureAndGoesOn)
{
    std::string program = place_program(root_ + "/app");
    write_file(device_file("ROOT#PORTS#0000"), port_device("Qor\\\\Vsp", "COM10", true));
    write_file(device_file("ROOT#PORTS#0001"), port_device("Qor\\\\Vsp", "COM11", true));
    write_file(inf_dir() + "/oem0.inf", shipped_inf());
    write_file(inf_dir() + "/oem1.inf", shipped_inf() + "\n; rebuilt\n");

    // A port the class installer refuses stays; the next one goes. A copy in use is
    // named; another error gets no second line.
    Outcome r = run(program, {"uninstall"}, root_,
                {{"VSP_SIM_FAULTS",
                  "SetupDiCallClassInstaller:5,SetupUninstallOEMInfA:0xE000023D,SetupUninstallOEMInfA:5"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "----- begin uninstall vsp driver ---------"
                     "will enum port for remove all ports\n"
                     "will remove one port: \n"
                     "remove fail: error_code=5\n"
                     "will remove one port: \n"
                     "remove ok\n"
                     "begin uninstall_driver\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem0.inf, version: 11/20/2026 1.0.3.0\n"
                     "SetupUninstallOEMInf fail, error_code=-536870339\n"
                     "ERROR_INF_IN_USE_BY_DEVICES\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem1.inf, version: 11/20/2026 1.0.3.0\n"
                     "SetupUninstallOEMInf fail, error_code=5\n"
                     "end uninstall_driver, try uninstall 2 driver(success: 0, fail: 2)\n"
                     "----- end uninstall vsp driver ---------");
    EXPECT_TRUE(exists(device_file("ROOT#PORTS#0000")));
    EXPECT_FALSE(exists(device_file("ROOT#PORTS#0001")));

    // When the ports cannot be walked at all, the package copies are still uninstalled.
    r = run(program, {"uninstall"}, root_, {{"VSP_SIM_FAULTS", "SetupDiGetClassDevsExA:5"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "----- begin uninstall vsp driver ---------"
                     "will enum port for remove all ports\n"
                     "SetupDiGetClassDevsEx fail\n"
                     "begin uninstall_driver\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem0.inf, version: 11/20/2026 1.0.3.0\n"
                     "remove_driver_callback, uninstall driver ok, inf_file(C:\\windows\\INF\\oem0.inf)\n"
                     "will uninstall driver for inf_file: C:\\windows\\INF\\oem1.inf, version: 11/20/2026 1.0.3.0\n"
                     "remove_driver_callback, uninstall driver ok, inf_file(C:\\windows\\INF\\oem1.inf)\n"
                     "end uninstall_driver, try uninstall 2 driver(success: 2, fail: 0)\n"
                     "----- end uninstall vsp driver ---------");
    EXPECT_TRUE(exists(device_file("ROOT#PORTS#0000")));
}

}  // namespace
