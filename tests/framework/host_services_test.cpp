// The headless host stands in for a real one in the tests of the layers above.
#include <gtest/gtest.h>

#include "framework/host_services.h"
#include "tests/support/alloc_counter.h"

TEST(HeadlessHost, TimeRecordIsAbsentUntilSetAndCostsNoAllocation) {
    KelHeadlessHost host;
    EXPECT_EQ(host.version(), 2400);
    KelHostTime time;
    time.tempo_bpm = 99.0;
    EXPECT_FALSE(host.get_time(kKelHostTimeRequest, time));
    EXPECT_EQ(time.tempo_bpm, 99.0);  // left as it was: the tempo port keeps its values

    host.set_time({true, 140.0, true, 8.5, true});
    {
        mellora::test::AllocationCounter allocations;  // the audio thread asks every block
        ASSERT_TRUE(host.get_time(kKelHostTimeRequest, time));
        EXPECT_EQ(allocations.count(), 0u);
    }
    EXPECT_EQ(time.tempo_bpm, 140.0);
    EXPECT_EQ(time.ppq_position, 8.5);
    EXPECT_TRUE(time.playing);
    EXPECT_EQ(host.time_requests(), 2);
    EXPECT_EQ(host.last_time_mask(), 0x602);
    host.set_version(0);
    EXPECT_EQ(host.version(), 0);  // a host that refuses: the entry point builds no effect
}
