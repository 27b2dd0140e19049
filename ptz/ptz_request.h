// The camera-control request: what the metadata interpreter ("ndiPTZ")
// hands the command queue ("queuePTZ"), copied by value through the ring.
#pragma once

#include <cstdint>

struct ptz_request {
    int32_t code = 0;      // one of the ptz_code values
    float value1 = 0.0f;   // first argument (range per code, below)
    float value2 = 0.0f;   // second argument
};

// The high byte names the function group, the low byte the variant.
namespace ptz_code {
constexpr int32_t stop_queue = -1;   // only from the ptz destructor
constexpr int32_t none = 0;
constexpr int32_t pan_tilt_speed = 0x100;   // pan, tilt speeds -1..1
constexpr int32_t pan_tilt_stop = 0x102;
constexpr int32_t pan_tilt_position = 0x104;   // pan, tilt -1..1
constexpr int32_t zoom_speed = 0x200;          // -1..1, never 0
constexpr int32_t zoom_stop = 0x202;
constexpr int32_t zoom_position = 0x204;   // 0..1
constexpr int32_t white_balance_auto = 0x300;
constexpr int32_t white_balance_indoor = 0x302;
constexpr int32_t white_balance_outdoor = 0x304;
constexpr int32_t white_balance_one_shot = 0x306;
constexpr int32_t white_balance_manual = 0x308;   // red, blue gains 0..1
constexpr int32_t focus_auto = 0x400;
constexpr int32_t focus_manual = 0x402;   // distance 0..1
constexpr int32_t exposure_auto = 0x500;
constexpr int32_t exposure_manual = 0x502;   // value 0..1
constexpr int32_t store_preset = 0x600;      // index 0..99
constexpr int32_t recall_preset = 0x602;     // index 0..99, speed 0..1
constexpr int32_t flip = 0x700;              // 1 on, 0 off
}   // namespace ptz_code
