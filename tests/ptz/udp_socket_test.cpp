#include "ptz/udp_socket.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/open_descriptors.h"

TEST(udp_socket, a_socket_closes_on_exec_and_when_it_goes)
{
    const auto before = open_descriptors();
    {
        std::optional<udp_socket> loop;
        try {
            loop.emplace(open_loop_socket(0));
        } catch (const std::runtime_error& e) {
            GTEST_SKIP() << e.what() << " (tying a socket to a device needs root)";
        }
        EXPECT_TRUE(closes_on_exec(loop->fd()));
        EXPECT_EQ(inheritable_since(before), std::vector<std::string>{});
        udp_socket moved = std::move(*loop);
        loop.reset();
        EXPECT_TRUE(closes_on_exec(moved.fd())) << "a moved socket stays open";
    }
    EXPECT_EQ(open_descriptors(), before);
}
