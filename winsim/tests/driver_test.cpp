// The stand-in serial port driver: a program on the port's terminal seen through the
// service's device requests, and the service's bytes reaching the program.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "../src/driver.h"
#include "fresh_root.h"

namespace {

const DWORD PORT_READ = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD PORT_WRITE = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD PORT_OPEN = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 202, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD PORT_STATUS = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 203, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD TIMED_OUT = 0xFFFFFFFFu;

static_assert(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x1B0320, "");

// One READ request as the service issues it.
struct Read {
    HANDLE h = nullptr;
    OVERLAPPED ov{};
    std::vector<unsigned char> buf;
    DWORD bytes = 0;
    bool pending = false;  // a request refused at once never completes
    bool done_at_once = false;  // returned TRUE: data the driver held already

    explicit Read(DWORD size = 2047) : buf(size) { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Read()
    {
        // A test that failed midway must not leave the request writing into freed memory.
        if (pending && !HasOverlappedIoCompleted(&ov)) {
            CancelIoEx(h, &ov);
            GetOverlappedResult(h, &ov, &bytes, TRUE);
        }
        CloseHandle(ov.hEvent);
    }
    bool issue(HANDLE port)
    {
        h = port;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(port, PORT_READ, nullptr, 0, buf.data(), (DWORD)buf.size(), &returned, &ov);
        done_at_once = ok != FALSE;
        if (ok) {
            EXPECT_EQ(returned, (DWORD)ov.InternalHigh);
        }
        pending = ok || GetLastError() == ERROR_IO_PENDING;
        return pending;
    }
    // The request's error (0 for success, bytes in `bytes`), or TIMED_OUT.
    DWORD wait(DWORD ms = 3000)
    {
        if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0)
            return TIMED_OUT;
        bytes = 0;
        return GetOverlappedResult(h, &ov, &bytes, FALSE) ? 0 : GetLastError();
    }
    std::string data() const { return std::string(buf.begin(), buf.begin() + bytes); }
};

// Issues a READ and waits for it.
DWORD next_event(HANDLE port, std::string *data = nullptr)
{
    Read r;
    if (!r.issue(port))
        return GetLastError();
    DWORD e = r.wait();
    if (data)
        *data = r.data();
    return e;
}

// READs until `want` bytes came; every completion must be data.
std::string read_data(HANDLE port, size_t want, int *completions = nullptr)
{
    std::string got;
    while (got.size() < want) {
        std::string part;
        DWORD e = next_event(port, &part);
        EXPECT_EQ(e, 0u) << "after " << got.size() << " bytes";
        if (e != 0)
            break;
        EXPECT_GT(part.size(), 0u);
        got += part;
        if (completions)
            ++*completions;
    }
    return got;
}

BOOL ioctl(HANDLE h, DWORD code, const void *in, DWORD inlen, OVERLAPPED *ov)
{
    return DeviceIoControl(h, code, const_cast<void *>(in), inlen, nullptr, 0, nullptr, ov);
}

BOOL write_port(HANDLE h, const std::string &bytes)
{
    OVERLAPPED ov{};
    BOOL ok = ioctl(h, PORT_WRITE, bytes.data(), (DWORD)bytes.size(), &ov);
    EXPECT_TRUE(!ok || HasOverlappedIoCompleted(&ov));
    return ok;
}

// What a program on the terminal reads within `ms` (stops early once `want` bytes came).
std::string program_read(int fd, size_t want, int ms)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, (int)left.count()) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    return got;
}

void program_write(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(n, 0) << strerror(errno);
        done += (size_t)n;
    }
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i * 7 % 251);
    return s;
}

class DriverPort : public ::testing::Test {
protected:
    std::string root;
    std::vector<std::string> started;
    size_t handles_before = 0;

    void SetUp() override
    {
        root = fresh_root();
        handles_before = winsim::open_handle_count();
    }
    void TearDown() override
    {
        for (auto &n : started)
            winsim::port_stop(n.c_str());
        winsim::clear_faults();
        EXPECT_EQ(winsim::open_handle_count(), handles_before) << "handles leaked";
    }
    std::string link(const std::string &name) { return root + "/dev/" + name; }
    HANDLE start_and_open(const std::string &name)
    {
        started.push_back(name);
        EXPECT_TRUE(winsim::port_start(name.c_str()));
        return open_port(name);
    }
    HANDLE open_port(const std::string &name)
    {
        std::string path = "\\\\.\\" + name;
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    int program_open(const std::string &name) { return open(link(name).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }
};

TEST_F(DriverPort, ProgramOpenDataAndCloseCompletePendingReads)
{
    HANDLE h = start_and_open("SIMA1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(ioctl(h, PORT_OPEN, nullptr, 0, &ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0) << "an immediate completion still signals";
    CloseHandle(ov.hEvent);

    Read opened;
    ASSERT_TRUE(opened.issue(h));
    EXPECT_EQ(opened.wait(100), TIMED_OUT) << "nothing happened on the terminal yet";
    int fd = program_open("SIMA1");
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(opened.wait(), (DWORD)ERROR_EVENT_PENDING);
    EXPECT_EQ(opened.bytes, 0u);

    // Bytes a cooked terminal would change or act on must pass unchanged.
    const std::string binary("\x00\xff\n\r\x03\x04\x11\x13\x1a\x7f\x1b[A x", 15);
    program_write(fd, binary);
    EXPECT_EQ(read_data(h, binary.size()), binary);

    Read closed;
    ASSERT_TRUE(closed.issue(h));
    close(fd);
    EXPECT_EQ(closed.wait(), (DWORD)ERROR_EVENT_DONE);
    EXPECT_EQ(closed.bytes, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DriverPort, QuickProgramIsSeenAsOpenDataCloseInOrder)
{
    HANDLE h = start_and_open("SIMA2");
    for (int round = 0; round < 5; round++) {
        int fd = program_open("SIMA2");
        ASSERT_GE(fd, 0);
        std::string msg = "round " + std::to_string(round) + "\n";
        program_write(fd, msg);
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

        // With the events waiting, READs complete at once, their events signalled all
        // the same: an open or close still reported pending (its status is an error),
        // the data as a call that succeeded.
        Read opened;
        ASSERT_TRUE(opened.issue(h));
        EXPECT_FALSE(opened.done_at_once);
        EXPECT_EQ(opened.wait(0), (DWORD)ERROR_EVENT_PENDING);
        Read data;
        ASSERT_TRUE(data.issue(h));
        EXPECT_TRUE(data.done_at_once);
        EXPECT_EQ(data.wait(0), 0u);
        EXPECT_EQ(data.data(), msg);
        Read closed;
        ASSERT_TRUE(closed.issue(h));
        EXPECT_EQ(closed.wait(0), (DWORD)ERROR_EVENT_DONE);
    }
    Read idle;
    ASSERT_TRUE(idle.issue(h));
    EXPECT_EQ(idle.wait(100), TIMED_OUT) << "no stray events";
    CloseHandle(h);
}

TEST_F(DriverPort, EachProgramGetsATerminalOfItsOwnSoSessionsNeverMix)
{
    HANDLE h = start_and_open("SIMB1");
    std::string first = winsim::port_terminal("SIMB1");
    int a = program_open("SIMB1");
    ASSERT_GE(a, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    // The open moves the link on to a fresh terminal.
    std::string moved;
    for (int i = 0; i < 500 && (moved.empty() || moved == first); i++) {
        char target[256] = {};
        if (readlink(link("SIMB1").c_str(), target, sizeof target - 1) > 0)
            moved = target;
        if (moved == first)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(moved, first);
    EXPECT_EQ(ttyname(a), first);

    // The next program comes before the driver has seen the first one leave: its bytes
    // still stay in its own session.
    program_write(a, "first");
    close(a);
    int b = program_open("SIMB1");
    ASSERT_GE(b, 0);
    EXPECT_EQ(ttyname(b), moved);
    program_write(b, "second");
    close(b);
    EXPECT_EQ(read_data(h, 5), "first");
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    EXPECT_EQ(read_data(h, 6), "second");
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    CloseHandle(h);
}

// Opened back to back, the two opens may reach the driver as a single notification, or
// the second may reach it only after the link has moved on past its terminal: in every
// round the session lasts until the last program leaves.
TEST_F(DriverPort, TwoProgramsAtOnceEndTheSessionWhenTheLastLeaves)
{
    HANDLE h = start_and_open("SIMA3");
    for (int round = 0; round < 20 && !HasFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        int a = program_open("SIMA3");
        int b = program_open("SIMA3");
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
        Read r;
        ASSERT_TRUE(r.issue(h));
        close(a);
        EXPECT_EQ(r.wait(100), TIMED_OUT) << "one program still has the port";
        program_write(b, "still here");
        EXPECT_EQ(r.wait(), 0u);
        EXPECT_EQ(r.data(), "still here");
        close(b);
        EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    }
    CloseHandle(h);
}

TEST_F(DriverPort, ServiceBytesReachTheProgramAndAreDroppedWithoutOne)
{
    HANDLE h = start_and_open("SIMA4");
    EXPECT_TRUE(write_port(h, "nobody listens"));

    int fd = program_open("SIMA4");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    const std::string binary("\x00\xff\n\r\x03\x04\x11\x13\x1a\x7f", 10);
    EXPECT_TRUE(write_port(h, binary));
    EXPECT_TRUE(write_port(h, ""));
    EXPECT_EQ(program_read(fd, binary.size() + 1, 300), binary) << "exactly the bytes written while connected";

    // What the program leaves unread is not handed to the next one.
    EXPECT_TRUE(write_port(h, "left unread"));
    close(fd);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    fd = program_open("SIMA4");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    EXPECT_EQ(program_read(fd, 1, 100), "");
    EXPECT_TRUE(write_port(h, "fresh"));
    EXPECT_EQ(program_read(fd, 6, 300), "fresh");

    // A program that never reads: the service's writes still complete at once.
    std::string big = pattern(50000);
    for (int i = 0; i < 10; i++)
        EXPECT_TRUE(write_port(h, big));
    close(fd);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    CloseHandle(h);
}

TEST_F(DriverPort, StatusByteIsKeptAndMalformedRequestsFail)
{
    HANDLE h = start_and_open("SIMA5");
    std::string file = root + "/status/SIMA5";
    EXPECT_EQ(winsim::port_status("SIMA5"), -1);
    EXPECT_NE(access(file.c_str(), F_OK), 0);

    unsigned char status = 7;
    OVERLAPPED ov{};
    EXPECT_TRUE(ioctl(h, PORT_STATUS, &status, 1, &ov));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    status = 255;
    EXPECT_TRUE(ioctl(h, PORT_STATUS, &status, 1, &ov));
    EXPECT_EQ(winsim::port_status("sima5"), 255);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "255\n");

    unsigned char two[2] = {1, 2};
    EXPECT_FALSE(ioctl(h, PORT_STATUS, two, 2, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ioctl(h, PORT_STATUS, nullptr, 0, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(winsim::port_status("SIMA5"), 255) << "a rejected request changes nothing";
    EXPECT_FALSE(DeviceIoControl(h, PORT_READ, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ioctl(h, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 204, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);

    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ioctl(ev, PORT_OPEN, nullptr, 0, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(ev);

    winsim::fail_next("DeviceIoControl", ERROR_GEN_FAILURE);
    EXPECT_FALSE(ioctl(h, PORT_OPEN, nullptr, 0, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    winsim::fail_next("CreateFileA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_port("SIMA5"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);
}

TEST_F(DriverPort, CloseAndCancelEndOnlyTheReadsOfThatHandle)
{
    HANDLE h1 = start_and_open("SIMA6");
    HANDLE h2 = open_port("sima6");
    ASSERT_NE(h2, INVALID_HANDLE_VALUE) << "several handles may be open at once";
    Read r1, r2, r3;
    ASSERT_TRUE(r1.issue(h1));
    ASSERT_TRUE(r2.issue(h2));
    ASSERT_TRUE(r3.issue(h1));

    EXPECT_TRUE(CancelIoEx(h1, &r1.ov));
    DWORD n = 1;
    EXPECT_FALSE(GetOverlappedResult(h1, &r1.ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(CancelIoEx(h1, &r1.ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    EXPECT_EQ(r3.wait(50), TIMED_OUT);

    EXPECT_TRUE(CloseHandle(h1));
    EXPECT_FALSE(GetOverlappedResult(h1, &r3.ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(r2.wait(50), TIMED_OUT);

    // The aborted requests took no event with them.
    int fd = program_open("SIMA6");
    EXPECT_EQ(r2.wait(), (DWORD)ERROR_EVENT_PENDING);
    close(fd);
    EXPECT_EQ(next_event(h2), (DWORD)ERROR_EVENT_DONE);
    CloseHandle(h2);
}

TEST_F(DriverPort, UnknownPortIsNotFoundAndTheResolverIsAsked)
{
    EXPECT_EQ(open_port("NOSUCH1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    std::vector<std::string> asked;
    winsim::PortResolver previous = winsim::driver_set_resolver([&](const std::string &name) {
        asked.push_back(name);
        return name == "LATE1" && winsim::driver_port_start_locked(name);
    });
    started.push_back("LATE1");
    EXPECT_EQ(open_port("NOSUCH2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    HANDLE h = open_port("LATE1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(asked, (std::vector<std::string>{"NOSUCH2", "LATE1"}));
    EXPECT_NE(winsim::port_terminal("late1"), "");
    HANDLE again = open_port("late1");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(asked.size(), 2u) << "a started port needs no resolving";

    // Paths that are not port devices never reach the resolver.
    EXPECT_EQ(CreateFileA("C:\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_port("pipe\\nothing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(asked.size(), 2u);
    winsim::driver_set_resolver(previous);
    CloseHandle(h);
    CloseHandle(again);
}

TEST_F(DriverPort, DataLargerThanAReadArrivesWhole)
{
    HANDLE h = start_and_open("SIMA7");
    int fd = program_open("SIMA7");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    std::string block = pattern(5000);
    program_write(fd, block);
    // Let the terminal pass the bytes on: every READ then finds them there.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int completions = 0;
    EXPECT_EQ(read_data(h, block.size(), &completions), block);
    EXPECT_EQ(completions, 3) << "READs are filled with what is there, and none exceeds its size";

    // A stream much larger than the driver's queue, with the program writing as fast as
    // the terminal lets it: nothing is lost or reordered.
    std::string stream = pattern(400000);
    std::thread writer([&] { program_write(fd, stream); });
    EXPECT_TRUE(read_data(h, stream.size()) == stream);
    writer.join();
    close(fd);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    CloseHandle(h);
}

// With no READ asking, the driver leaves a program's bytes in its terminal: a program
// that outpaces the service is held up there, as by flow control, and none of what it
// got to write is lost or reordered once READs come again.
TEST_F(DriverPort, AProgramThatOutpacesTheServiceIsHeldUpAndLosesNothing)
{
    HANDLE h = start_and_open("SIMA8");
    int fd = program_open("SIMA8");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    std::string all = pattern(1 << 20);
    size_t written = 0;
    while (written < all.size()) {
        ssize_t n = write(fd, all.data() + written, std::min<size_t>(4096, all.size() - written));
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN) << strerror(errno);
            break;
        }
        written += (size_t)n;
    }
    EXPECT_LT(written, all.size()) << "the program was never held up";
    EXPECT_GT(written, 0u);
    EXPECT_TRUE(read_data(h, written) == all.substr(0, written));

    // Drained, the terminal takes the program's bytes again; a READ left waiting for
    // them is completed by their arrival.
    Read waiting;
    ASSERT_TRUE(waiting.issue(h));
    EXPECT_FALSE(waiting.done_at_once);
    ASSERT_EQ(write(fd, "more", 4), 4);
    EXPECT_EQ(waiting.wait(), 0u);
    EXPECT_EQ(waiting.data(), "more");
    close(fd);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_DONE);
    CloseHandle(h);
}

TEST_F(DriverPort, StopRemovesTheTerminalAndRetiresOpenHandles)
{
    // A link left behind by an earlier run is replaced.
    mkdir((root + "/dev").c_str(), 0755);
    ASSERT_EQ(symlink("/nonexistent/pts", link("SIMA8").c_str()), 0);
    HANDLE h = start_and_open("SIMA8");
    std::string terminal = winsim::port_terminal("SIMA8");
    char target[256] = {};
    ASSERT_GT(readlink(link("SIMA8").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(terminal, target);
    EXPECT_TRUE(winsim::port_start("sima8")) << "starting twice changes nothing";
    EXPECT_EQ(winsim::port_terminal("SIMA8"), terminal);

    unsigned char status = 3;
    OVERLAPPED ov{};
    ASSERT_TRUE(ioctl(h, PORT_STATUS, &status, 1, &ov));
    int fd = program_open("SIMA8");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    Read r;
    ASSERT_TRUE(r.issue(h));

    EXPECT_TRUE(winsim::port_stop("SIMA8"));
    EXPECT_EQ(r.wait(), (DWORD)ERROR_OPERATION_ABORTED);
    struct stat st;
    EXPECT_NE(lstat(link("SIMA8").c_str(), &st), 0);
    EXPECT_NE(lstat((root + "/status/SIMA8").c_str(), &st), 0);
    EXPECT_EQ(winsim::port_terminal("SIMA8"), "");
    EXPECT_EQ(winsim::port_status("SIMA8"), -1);
    char c;
    EXPECT_LE(read(fd, &c, 1), 0) << "the program sees the line hang up";
    close(fd);

    EXPECT_FALSE(ioctl(h, PORT_OPEN, nullptr, 0, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_REMOVED);
    Read late;
    EXPECT_FALSE(late.issue(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_REMOVED);
    EXPECT_EQ(open_port("SIMA8"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(winsim::port_stop("SIMA8"));
    EXPECT_TRUE(CloseHandle(h));

    // Started again, the name is served afresh; the old handle stays retired.
    EXPECT_TRUE(winsim::port_start("SIMA8"));
    HANDLE h2 = open_port("SIMA8");
    fd = program_open("SIMA8");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h2), (DWORD)ERROR_EVENT_PENDING);
    close(fd);
    EXPECT_EQ(next_event(h2), (DWORD)ERROR_EVENT_DONE);
    CloseHandle(h2);
}

TEST_F(DriverPort, HeldWritesPendUntilReleasedAndEndWithTheirHandle)
{
    // A WRITE or STATUS request with an OVERLAPPED and event of its own.
    struct Request {
        HANDLE h = nullptr;
        OVERLAPPED ov{};
        Request() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
        ~Request()
        {
            if (h && !HasOverlappedIoCompleted(&ov) && CancelIoEx(h, &ov))
                WaitForSingleObject(ov.hEvent, 3000);
            CloseHandle(ov.hEvent);
        }
        bool issue(HANDLE port, DWORD code, const std::string &input)
        {
            h = port;
            return !ioctl(port, code, input.data(), (DWORD)input.size(), &ov) && GetLastError() == ERROR_IO_PENDING;
        }
        DWORD wait(DWORD ms = 3000)
        {
            if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0)
                return TIMED_OUT;
            DWORD n = 0;
            return GetOverlappedResult(h, &ov, &n, FALSE) ? 0 : GetLastError();
        }
    };

    HANDLE h = start_and_open("SIMA9");
    int fd = program_open("SIMA9");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(next_event(h), (DWORD)ERROR_EVENT_PENDING);
    EXPECT_FALSE(winsim::port_hold_requests("NOSUCH9", true));
    ASSERT_TRUE(winsim::port_hold_requests("sima9", true));

    Request one, status, two;
    std::string bytes = "one,";
    ASSERT_TRUE(one.issue(h, PORT_WRITE, bytes));
    bytes = "XXXX";  // buffered: the request copied its input when it was issued
    ASSERT_TRUE(status.issue(h, PORT_STATUS, "\x09"));
    ASSERT_TRUE(two.issue(h, PORT_WRITE, "two"));
    EXPECT_FALSE(ioctl(h, PORT_WRITE, "x", 1, nullptr)) << "a request without an OVERLAPPED cannot be held";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(two.wait(50), TIMED_OUT);
    EXPECT_FALSE(HasOverlappedIoCompleted(&one.ov));
    EXPECT_EQ(program_read(fd, 1, 50), "") << "held bytes are not delivered yet";
    EXPECT_EQ(winsim::port_status("SIMA9"), -1);

    ASSERT_TRUE(winsim::port_hold_requests("SIMA9", false));
    EXPECT_EQ(one.wait(0), 0u) << "released requests complete before the release returns";
    EXPECT_EQ(status.wait(0), 0u);
    EXPECT_EQ(two.wait(0), 0u);
    EXPECT_EQ(program_read(fd, 7, 1000), "one,two");
    EXPECT_EQ(winsim::port_status("SIMA9"), 9);
    EXPECT_TRUE(write_port(h, "!")) << "without the hold requests complete at once again";
    EXPECT_EQ(program_read(fd, 1, 1000), "!");

    // Held requests end with the handle that issued them, by cancel, or with the port.
    HANDLE h2 = open_port("SIMA9");
    ASSERT_TRUE(winsim::port_hold_requests("SIMA9", true));
    Request cancelled, closed, other, stopped;
    ASSERT_TRUE(cancelled.issue(h, PORT_WRITE, "c"));
    ASSERT_TRUE(closed.issue(h, PORT_STATUS, "\x01"));
    ASSERT_TRUE(other.issue(h2, PORT_WRITE, "o"));
    EXPECT_TRUE(CancelIoEx(h, &cancelled.ov));
    EXPECT_EQ(cancelled.wait(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(closed.wait(50), TIMED_OUT);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(closed.wait(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(other.wait(50), TIMED_OUT) << "another handle's request stays held";
    EXPECT_EQ(program_read(fd, 1, 50), "") << "an aborted WRITE delivers nothing";
    ASSERT_TRUE(stopped.issue(h2, PORT_STATUS, "\x02"));
    started.clear();
    EXPECT_TRUE(winsim::port_stop("SIMA9"));
    EXPECT_EQ(other.wait(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(stopped.wait(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(winsim::port_hold_requests("SIMA9", false));
    close(fd);
    CloseHandle(h2);
}

TEST_F(DriverPort, PortNamesUpToTheServicesLimitAreServedWithTheirStatus)
{
    // 250 characters: the longest name the service opens, and one the host's 255-byte
    // file names must still hold with everything kept beside it.
    std::string longest(250, 'L');
    HANDLE h = start_and_open(longest);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int fd = program_open(longest);
    EXPECT_GE(fd, 0) << "the terminal is linked under the full name";
    if (fd >= 0)
        close(fd);
    unsigned char status = 42;
    OVERLAPPED ov{};
    EXPECT_TRUE(ioctl(h, PORT_STATUS, &status, 1, &ov));
    std::ifstream in(root + "/status/" + longest);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "42\n");
    for (auto &e : std::filesystem::directory_iterator(root))
        EXPECT_EQ(e.path().filename().string().rfind(".status-", 0), std::string::npos)
            << "a status write leaves no temporary file: " << e.path();
    CloseHandle(h);

    std::string over(251, 'L');
    EXPECT_FALSE(winsim::port_start(over.c_str()));
    EXPECT_EQ(open_port(over), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

}  // namespace
