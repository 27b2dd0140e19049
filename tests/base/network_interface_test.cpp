#include "base/network_interface.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "tests/support/open_descriptors.h"

TEST(network_interface, reads_the_addresses_of_a_device)
{
    const interface_addresses lo = query_interface("lo");
    ASSERT_TRUE(lo.queried);
    ASSERT_TRUE(lo.mac);
    EXPECT_EQ(*lo.mac, (std::array<uint8_t, 6>{}));
    if (!lo.address)
        GTEST_SKIP() << "loopback has no IPv4 address here";
    EXPECT_EQ(*lo.address, (std::array<uint8_t, 4>{127, 0, 0, 1}));
    ASSERT_TRUE(lo.netmask);
    EXPECT_EQ(*lo.netmask, (std::array<uint8_t, 4>{255, 0, 0, 0}));
}

TEST(network_interface, a_missing_device_leaves_every_field_empty_and_nothing_open)
{
    const auto before = open_descriptors();
    // Longer than the kernel's names: cut to fit, and still not there.
    for (const char* name : {"nosuchdevice0", "a-name-longer-than-any-device-name"}) {
        const interface_addresses missing = query_interface(name);
        EXPECT_TRUE(missing.queried);
        EXPECT_FALSE(missing.mac);
        EXPECT_FALSE(missing.address);
        EXPECT_FALSE(missing.netmask);
    }
    EXPECT_EQ(open_descriptors(), before);
}
