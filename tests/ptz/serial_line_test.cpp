#include "ptz/serial_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "tests/support/open_descriptors.h"

namespace {

// A pseudo-terminal standing in for the camera's line: the program opens
// the slave by its name, the test holds the master.
struct pseudo_line {
    file_descriptor master{posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)};
    std::string slave;
    pseudo_line()
    {
        if (master && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0)
            slave = ptsname(master.get());
    }
};

}   // namespace

TEST(serial_line, the_line_is_raw_and_closes_on_exec)
{
    pseudo_line pty;
    ASSERT_FALSE(pty.slave.empty());
    const auto before = open_descriptors();
    {
        serial_line line = open_uart(pty.slave.c_str());
        EXPECT_TRUE(closes_on_exec(line.fd()));
        EXPECT_EQ(inheritable_since(before), std::vector<std::string>{});

        // The tally lamp: 0x0A must reach the camera as it is, not as CR LF.
        const uint8_t message[] = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x00, 0x02, 0xFF};
        EXPECT_EQ(line.write_drained(message, sizeof message), ssize_t(sizeof message));
        std::vector<uint8_t> got;
        pollfd arrived{pty.master.get(), POLLIN, 0};
        while (got.size() < sizeof message && poll(&arrived, 1, 10000) == 1) {
            uint8_t chunk[16];
            const ssize_t n = read(pty.master.get(), chunk, sizeof chunk);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        EXPECT_EQ(got, std::vector<uint8_t>(message, message + sizeof message));
        uint8_t nothing[4];
        EXPECT_EQ(line.read_some(nothing, sizeof nothing), 0) << "nothing waiting is not a failure";
    }
    EXPECT_EQ(open_descriptors(), before) << "the line closes when it goes";
}

TEST(serial_line, a_missing_device_stops_with_its_message)
{
    try {
        open_uart("/nonexistent/ttyS1");
        FAIL() << "opened a missing device";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot open UART /dev/ttyS1!");
    }
}
