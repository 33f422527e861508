// Runs the service thread inside the test process against a fresh stand-in root, with
// its log captured (and still shown), and ends it again at the end of the test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "addon/service.h"
#include "e2e/harness.h"
#include "fresh_root.h"

// ------------------------------------------------------------ shared expectations

// The device-file line that puts a device into the Ports class.
const std::string kPortsClass = "class = {4D36E978-E325-11CE-BFC1-08002BE10318}\n";

// A handle or pointer as the service's "%p" prints it.
inline std::string ptr(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

// What a successful vport_open logs.
inline std::string open_lines(const std::string &name, HANDLE h)
{
    return "will open \\\\.\\" + name + "\nCreateFile ok, handle=" + ptr(h) +
           "\nCreateEvent ok\nDeviceIoControl, hcom=" + ptr(h) +
           "\nIOCTL_SERIAL_PEER_OPEN_CONTROL OK\nIOCTL_SERIAL_PEER_READ_CONTROL OK\n";
}

// A new, empty port record with its names filled in.
inline vport *named(const std::string &name, const std::string &gateway = "")
{
    vport *p = vport_new();
    strcpy(p->portname, name.c_str());
    strcpy(p->gateway_id, gateway.c_str());
    return p;
}

// Everything written to fd 1 while it lives is kept and also passed on to the real
// standard output, so test failures printed meanwhile are not lost.
class LogCapture {
public:
    LogCapture()
    {
        fflush(stdout);
        saved_ = dup(1);
        int p[2];
        if (pipe(p) != 0)
            abort();
        dup2(p[1], 1);
        close(p[1]);
        read_fd_ = p[0];
        reader_ = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(read_fd_, buf, sizeof buf)) > 0) {
                ssize_t w = write(saved_, buf, (size_t)n);
                (void)w;
                std::lock_guard<std::mutex> g(m_);
                text_.append(buf, (size_t)n);
                cv_.notify_all();
            }
        });
    }
    ~LogCapture()
    {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        reader_.join();
        close(read_fd_);
    }
    std::string text()
    {
        std::lock_guard<std::mutex> g(m_);
        return text_;
    }
    // Position just past `needle` found at or after `from`, npos after the time-out.
    size_t wait_for(const std::string &needle, size_t from = 0, int timeout_ms = 5000)
    {
        std::unique_lock<std::mutex> g(m_);
        size_t at = std::string::npos;
        cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
            at = text_.find(needle, from);
            return at != std::string::npos;
        });
        return at == std::string::npos ? at : at + needle.size();
    }

private:
    int saved_ = -1;
    int read_fd_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::string text_;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fresh_root();
        winsim::clear_faults();
        winsim::clear_calls();
        // A fresh service: the process-wide state as it is when the module loads.
        pipe_handle = NULL;
        oReadOverlap = OVERLAPPED{};
        oWriteOverlap = OVERLAPPED{};
        pipe_connecting = 0;
        pipe_read_due = 0;
    }

    void TearDown() override
    {
        stop();
        for (int i = 0; i < VPORTS_SLOTS; i++)
            if (vports[i])
                vports_remove(vports[i]);
        if (pipe_handle != NULL && pipe_handle != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_handle);
        // The close ends a pending connect or frame read a moment later. The next test's
        // service issues its own on the same oReadOverlap, so that completion must have
        // landed before this test is over.
        for (int i = 0; i < 2000 && !HasOverlappedIoCompleted(&oReadOverlap); i++)
            usleep(1000);
        pipe_writes_collect();
        winsim::clear_faults();
    }

    void start()
    {
        thread = CreateThread(NULL, 1024, service_thread, NULL, 0, NULL);
        ASSERT_NE(thread, nullptr);
    }

    // Makes the loop's next wait fail, wakes it, and waits for the thread to end.
    void stop()
    {
        if (thread == NULL)
            return;
        if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
            winsim::fail_next("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
            for (int i = 0; i < 100 && WaitForSingleObject(thread, 50) != WAIT_OBJECT_0; i++)
                if (oReadOverlap.hEvent)
                    SetEvent(oReadOverlap.hEvent);
        }
        ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0) << "the service thread did not end";
        CloseHandle(thread);
        thread = NULL;
    }

    // Waits until the service has a client: a completed connect, or a client that came
    // before the connect call. Returns the log position after it.
    size_t wait_client(size_t from = 0)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const char *line : {"app connected to pipe server\n", "ERROR_PIPE_CONNECTED\n"}) {
                size_t at = log.wait_for(line, from, 10);
                if (at != std::string::npos)
                    return at;
            }
        }
        return std::string::npos;
    }

    bool thread_ended(int timeout_ms = 5000) { return WaitForSingleObject(thread, timeout_ms) == WAIT_OBJECT_0; }

    std::string root;
    HANDLE thread = NULL;
    LogCapture log;
};
