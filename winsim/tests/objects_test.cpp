// Kernel objects, waits, overlapped status handling, fault injection and the call record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fresh_root.h"
#include "winsim/test.h"

namespace {

TEST(Events, AutoResetWakesOneWaitAndManualResetStays)
{
    HANDLE autoev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(autoev, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);
    SetEvent(autoev);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT) << "an auto-reset event is consumed by a wait";
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(autoev));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_FALSE(CloseHandle(manual));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(Waits, LowestSignalledIndexWinsAndBadHandleFails)
{
    HANDLE ev[3];
    for (auto &h : ev)
        h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(ev[2]);
    SetEvent(ev[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, INFINITE), WAIT_OBJECT_0 + 2);

    HANDLE bad[2] = {ev[0], (HANDLE)0x7};
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    // A wait with no time-out wakes when another thread signals.
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(ev[0]);
    });
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, INFINITE), WAIT_OBJECT_0);
    t.join();
    for (auto &h : ev)
        CloseHandle(h);
}

// The same handle array waited on again must see what changed in between: a handle
// closed, an array entry swapped for another handle, a handle closed elsewhere.
TEST(Waits, RepeatedWaitOnOneArraySeesClosedAndReplacedHandles)
{
    HANDLE ev[2];
    for (auto &h : ev)
        h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(ev[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), WAIT_OBJECT_0 + 1);

    // Same values in the array, but one of them is closed now.
    CloseHandle(ev[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    // The entry replaced in place: the new event is the one waited on.
    ev[0] = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(1, &ev[1], FALSE, 0), WAIT_TIMEOUT) << "a shorter array is another wait";

    // Closed by another thread between two waits of this one.
    std::thread([&] { CloseHandle(ev[1]); }).join();
    EXPECT_EQ(WaitForMultipleObjects(2, ev, FALSE, 0), WAIT_FAILED);
    CloseHandle(ev[0]);
}

TEST(Waits, SixtyFourHandlesAtMost)
{
    std::vector<HANDLE> ev(65);
    for (auto &h : ev)
        h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(ev[63]);
    EXPECT_EQ(WaitForMultipleObjects(64, ev.data(), FALSE, INFINITE), WAIT_OBJECT_0 + 63);
    EXPECT_EQ(WaitForMultipleObjects(65, ev.data(), FALSE, 0), WAIT_FAILED);
    for (auto &h : ev)
        CloseHandle(h);
}

TEST(Threads, ThreadRunsAndItsHandleSignalsAtExit)
{
    static std::atomic<int> ran{0};
    static int five = 5;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 1024, [](LPVOID p) -> DWORD {
        ran = *static_cast<int *>(p);
        SetLastError(42);  // per-thread: must not leak into the creator
        return 7;
    }, &five, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 5);
    EXPECT_NE(GetLastError(), 42u);
    CloseHandle(t);
}

// CreateThread returns once the thread has its id, whatever the thread goes on to do:
// here it blocks until the creator signals, which the creator can only do once it is back.
TEST(Threads, CreateThreadReturnsWhileTheNewThreadBlocks)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int round = 0; round < 5; round++) {
        ResetEvent(go);
        std::atomic<bool> created{false};
        HANDLE t = nullptr;
        std::thread creator([&] {
            t = CreateThread(nullptr, 0, [](LPVOID ev) -> DWORD { return WaitForSingleObject(ev, INFINITE); }, go, 0,
                             nullptr);
            created = true;
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!created && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bool returned = created;
        SetEvent(go);  // lets a stuck creator go, so that a failure ends the test
        creator.join();
        EXPECT_TRUE(returned) << "round " << round;
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
        CloseHandle(t);
    }
    CloseHandle(go);
}

TEST(Mutexes, NamedMutexKeepsExistingAfterItsHandleCloses)
{
    fresh_root();
    HANDLE a = CreateMutexA(nullptr, FALSE, "WinsimTestMutex");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(a);
    HANDLE b = CreateMutexA(nullptr, FALSE, "WinsimTestMutex");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(b);
}

TEST(Overlapped, PendingRequestReportsIncompleteWithoutWaiting)
{
    OVERLAPPED ov{};
    ov.Internal = STATUS_PENDING;
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(nullptr, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
}

TEST(Faults, NextCallsFailWithChosenErrorAndCallsAreRecorded)
{
    winsim::clear_calls();
    winsim::fail_next("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 2, 1);
    HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr) << "the skipped call succeeds";
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    HANDLE after = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(after, nullptr);
    EXPECT_EQ(winsim::call_count("CreateEventA"), 4u);
    CloseHandle(after);
    CloseHandle(first);
    auto closed = winsim::handles_passed_to("CloseHandle");
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0], after);
    EXPECT_EQ(closed[1], first);
    EXPECT_EQ(winsim::call_count("SetupDiCallClassInstaller"), 0u);
}

}  // namespace
