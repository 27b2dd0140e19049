// The stand-in libuio answers a call the board's library would refuse, or
// one that would touch nothing there, as before, and reports it as a guest
// error, so that a program relying on it fails its tests.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "hw/uio.h"
#include "tests/support/test_board.h"

namespace {

class libuio_refusals : public testing::Test {
protected:
    uio_info_t* opened(const char* name)
    {
        std::string mutable_name = name;
        uio_info_t* info = uio_find_by_uio_name(mutable_name.data());
        EXPECT_NE(info, nullptr) << name;
        if (info) {
            EXPECT_EQ(uio_open(info), 0);
        }
        return info;
    }

    // The one guest error the call made; empty when it made none or more.
    template <class Call>
    std::string refusal(Call call)
    {
        call();
        const std::vector<std::string> errors = board.take_guest_errors();
        return errors.size() == 1 ? errors.front() : "";
    }

    test_board board;
};

}   // namespace

TEST_F(libuio_refusals, accesses_outside_the_register_window_are_guest_errors)
{
    uio_info_t* regs = opened("ndi_regs");
    uio_info_t* video = opened("vid_in");
    uint32_t word = 1;
    uint8_t byte = 1;
    const size_t size = uio_get_mem_size(regs, 0);
    ASSERT_GT(size, 0u);

    EXPECT_EQ(refusal([&] { uio_read32(regs, 1, 0, &word); }),
              "libuio: uio_read32 of map 1, which the device does not have (ndi_regs)");
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(refusal([&] { uio_write8(regs, 0, size, 1); }),
              "libuio: uio_write8 at offset " + std::to_string(size) + ", beyond the map (ndi_regs)");
    EXPECT_EQ(refusal([&] { uio_read8(video, 0, 0, &byte); }),
              "libuio: uio_read8 outside the register window (vid_in)");
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(refusal([&] { uio_write32(video, 0, 0, 1); }),
              "libuio: uio_write32 outside the register window (vid_in)");
    EXPECT_EQ(refusal([&] { uio_get_mem_addr(regs, 2); }),
              "libuio: uio_get_mem_addr of map 2, which the device does not have (ndi_regs)");
    EXPECT_EQ(refusal([&] { EXPECT_EQ(uio_enable_irq(regs), -1); }),
              "libuio: uio_enable_irq on a device without an interrupt line (ndi_regs)");

    // The accesses the program makes are taken without a word.
    EXPECT_EQ(refusal([&] { uio_read32(regs, 0, 0xFFC, &word); }), "");   // the platform word
    EXPECT_EQ(refusal([&] { EXPECT_EQ(uio_enable_irq(video), 0); }), "");
    uio_close(regs);
    uio_close(video);
}

TEST_F(libuio_refusals, a_closed_or_null_handle_is_a_guest_error)
{
    uio_info_t* regs = opened("ndi_regs");
    uio_info_t* audio = opened("aud_in");
    uio_close(regs);
    uio_close(audio);
    uint32_t word = 1;

    EXPECT_EQ(refusal([&] { uio_read32(regs, 0, 0, &word); }), "libuio: uio_read32 on a closed handle (ndi_regs)");
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(refusal([&] { uio_write32(regs, 0, 0, 1); }), "libuio: uio_write32 on a closed handle (ndi_regs)");
    EXPECT_EQ(refusal([&] { EXPECT_EQ(uio_enable_irq(audio), -1); }),
              "libuio: uio_enable_irq on a closed handle (aud_in)");
    uio_timeval limit{0, 1000};
    EXPECT_EQ(refusal([&] {
                  errno = 0;
                  EXPECT_EQ(uio_irqwait_timeout(audio, &limit), -1);
                  EXPECT_EQ(errno, EINVAL);
              }),
              "libuio: uio_irqwait_timeout on a closed handle (aud_in)");
    EXPECT_EQ(refusal([&] { uio_close(audio); }), "libuio: uio_close on a closed handle (aud_in)");
    EXPECT_EQ(refusal([&] { uio_read32(nullptr, 0, 0, &word); }), "libuio: uio_read32 on a null handle");
}
