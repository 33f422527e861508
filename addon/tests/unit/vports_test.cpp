// The channel table: slots, channels, the chain, and removal of records whose
// requests are still in flight.
#include <gtest/gtest.h>

#include <algorithm>

#include "addon/driver_if.h"
#include "addon/service.h"
#include "fresh_root.h"

namespace {

vport *named(const char *name)
{
    vport *p = vport_new();
    strcpy(p->portname, name);
    return p;
}

std::vector<int> chained()
{
    std::vector<int> channels;
    for (vport *p = vports_link(); p; p = p->next)
        channels.push_back(p->channel_id);
    return channels;
}

void empty_table()
{
    for (int i = 0; i < VPORTS_SLOTS; i++)
        if (vports[i])
            vports_remove(vports[i]);
}

TEST(ChannelTable, LowestFreeSlotIsReusedAndTheChainFollowsSlotOrder)
{
    vports_clear();
    EXPECT_EQ(vports_link(), nullptr);
    vport *a = named("A"), *b = named("B"), *c = named("C");
    EXPECT_EQ(vports_add(a), 0);
    EXPECT_EQ(vports_add(b), 1);
    EXPECT_EQ(vports_add(c), 2);
    EXPECT_EQ(b->rx_frame[0], 1) << "the channel byte goes in front of every data frame";
    vports_remove(b);
    EXPECT_EQ(vports_find_by_channel_id(1), nullptr);
    EXPECT_EQ(chained(), (std::vector<int>{0, 2}));
    vport *d = named("D");
    EXPECT_EQ(vports_add(d), 1);
    EXPECT_EQ(chained(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(vports_find_by_channel_id(1), d);
    vport *stranger = named("not in the table");
    vports_remove(stranger);  // ignored; must not touch the table or free the record
    EXPECT_EQ(chained().size(), 3u);
    EXPECT_STREQ(stranger->portname, "not in the table");
    vport_release(stranger);
    empty_table();
}

TEST(ChannelTable, OutOfRangeChannelsAndAFullTable)
{
    vports_clear();
    EXPECT_EQ(vports_find_by_channel_id(-1), nullptr);
    EXPECT_EQ(vports_find_by_channel_id(256), nullptr);
    EXPECT_EQ(vports_find_by_channel_id(INT32_MIN), nullptr);
    for (int i = 0; i <= VPORTS_LAST_CHANNEL; i++)
        ASSERT_EQ(vports_add(named("P")), i);
    // Channel 255 is never handed out: 0xFF in front of a frame marks a control message.
    vport *extra = named("extra");
    extra->channel_id = 77;
    EXPECT_EQ(vports_add(extra), -1);
    EXPECT_EQ(extra->channel_id, 77) << "a record that finds no slot is left as it was";
    EXPECT_EQ(vports_find_by_channel_id(255), nullptr);
    EXPECT_EQ(chained().size(), 255u);
    vport_release(extra);
    empty_table();
}

TEST(ChannelTable, RemovalClosesEachHandleOnceInOrderAndWaitsForPendingRequests)
{
    fresh_root();
    ASSERT_TRUE(winsim::port_start("COMT1"));
    vports_clear();
    vport *p = named("COMT1");
    ASSERT_NE(vport_open(p), nullptr);
    ASSERT_EQ(p->read_pending, 1);
    ASSERT_EQ(vports_add(p), 0);
    HANDLE hcom = p->hcom, read_ev = p->read_event, write_ev = p->write_overlapped.hEvent,
           open_ev = p->open_overlapped.hEvent;
    ASSERT_FALSE(HasOverlappedIoCompleted(&p->read_overlapped)) << "the READ stays pending";

    winsim::clear_calls();
    vports_remove(p);  // with ASan, a completion into the freed record would be caught
    auto closed = winsim::handles_passed_to("CloseHandle");
    EXPECT_EQ(closed, (std::vector<HANDLE>{hcom, read_ev, write_ev, open_ev}));
    EXPECT_EQ(winsim::call_count("CancelIoEx"), 1u);
    EXPECT_EQ(vports_find_by_channel_id(0), nullptr);
    winsim::port_stop("COMT1");
}

TEST(ChannelTable, ARecordWhoseDeviceDidNotOpenIsListedAndRemovedWithoutClosingAnything)
{
    fresh_root();
    vports_clear();
    vport *p = named("COM_MISSING");
    EXPECT_EQ(vport_open(p), nullptr);
    EXPECT_EQ(p->hcom, INVALID_HANDLE_VALUE);
    EXPECT_EQ(p->read_pending, 0);
    ASSERT_EQ(vports_add(p), 0);
    EXPECT_EQ(chained(), (std::vector<int>{0}));
    winsim::clear_calls();
    vports_remove(p);
    EXPECT_EQ(winsim::call_count("CloseHandle"), 0u);
}

}  // namespace
