#include "sim/fpga/fpga.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "base/board_root.h"
#include "base/file_descriptor.h"
#include "hw/registers.h"
#include "hw/soc.h"

namespace vfpga {

namespace {

std::mutex installed_mutex;
std::shared_ptr<fpga> installed;

// The calling thread's calls into the board's bus side so far (register
// accesses, interrupt enables and waits), for the core log.
thread_local uint64_t calls_of_thread = 0;

std::string hex(uint32_t value)
{
    char text[12];
    snprintf(text, sizeof text, "%x", value);
    return text;
}

}   // namespace

void memory_unmapper::operator()(uint8_t* at) const
{
    munmap(at, length);
}

fpga::memory_mapping fpga::map_memory(const std::string& memory_file, size_t length)
{
    if (memory_file.empty()) {
        void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (map == MAP_FAILED)
            throw std::runtime_error("virtual board: cannot allocate its memory");
        return memory_mapping(static_cast<uint8_t*>(map), memory_unmapper{length});
    }
    const file_descriptor fd(open(memory_file.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd)
        throw std::runtime_error("virtual board: cannot open " + memory_file);
    void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED)
        throw std::runtime_error("virtual board: cannot map " + memory_file);
    return memory_mapping(static_cast<uint8_t*>(map), memory_unmapper{length});
}

namespace {

// A log file the board setting names, opened with mode; none for no setting.
owned_file open_log(const std::string& path, const char* mode)
{
    if (path.empty())
        return nullptr;
    owned_file file(fopen(path.c_str(), mode));
    if (!file)
        throw std::runtime_error("virtual board: cannot write " + path);
    return file;
}

}   // namespace

fpga::fpga(board_config config, const std::string& memory_file)
    : board(std::move(config)), time(parse_clock_mode(board.clock)), plain(board.regs_size / 4, 0),
      owners(board.regs_size / 4, nullptr)
{
    // The program's ordinary threads (the tracker's, say) take this mutex
    // too, for a register access; preempted while they hold it on a busy
    // machine, they would keep the real-time workers that stand for the
    // hardware waiting, and the cores' interrupts would come late. So it
    // lends a waiter's priority to its holder. (std::mutex is a plain
    // pthread mutex here, which the condition variables still work with.)
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(bus.native_handle(), &attributes);
    pthread_mutexattr_destroy(&attributes);

    plain[regs::platform_id_offset / 4] = board.platform;
    plain[regs::date_offset / 4] = board.date;

    // A 32-bit process cannot map a board whose memory ends beyond 4 GiB;
    // cut short, DMA would land at the wrong place instead of failing.
    if (uint64_t(size_t(board.memory_size())) != board.memory_size())
        throw std::runtime_error("virtual board: its memory ends beyond what this process can map");
    memory = map_memory(memory_file, size_t(board.memory_size()));

    register_log = open_log(board.setting("register_log"), "we");
    if (register_log)
        setvbuf(register_log.get(), nullptr, _IOLBF, 0);   // readable while the board runs, and after a crash
    // Appended to, so that one file gathers the errors of several runs.
    guest_error_log = open_log(board.setting("guest_errors"), "ae");
    core_log = open_log(board.setting("core_log"), "we");
    if (core_log)
        core_events.reserve(1 << 18);   // minutes of a busy board without a reallocation

    if (board.input_cores)
        build_models(*this);
    for (auto& m : models)
        m->start();
    models_started = true;
}

fpga::~fpga()
{
    for (auto& m : models)
        m->stop();
    write_core_log();   // while the models' names live
    models.clear();
}

std::shared_ptr<fpga> fpga::current()
{
    std::lock_guard<std::mutex> lock(installed_mutex);
    if (installed)
        return installed;
    const std::string dir = board_root();
    if (dir.empty())
        return nullptr;
    if (access((dir + "/board.conf").c_str(), R_OK) != 0)
        return nullptr;
    try {
        installed = std::make_shared<fpga>(board_config::load(dir + "/board.conf"), dir + soc::memory_device);
    } catch (const std::exception& e) {
        fprintf(stderr, "virtual board: %s\n", e.what());
        return nullptr;
    }
    return installed;
}

void fpga::install(std::shared_ptr<fpga> board)
{
    std::lock_guard<std::mutex> lock(installed_mutex);
    installed = std::move(board);
}

void fpga::uninstall()
{
    std::shared_ptr<fpga> old;
    {
        std::lock_guard<std::mutex> lock(installed_mutex);
        old.swap(installed);
    }
}

bool fpga::device_present(const std::string& name) const
{
    if (board.without.count(name))
        return false;
    for (const soc::uio_device& device : soc::uio_devices) {
        if (name != device.name)
            continue;
        switch (device.member_of) {
        case soc::group::registers: return true;
        case soc::group::input: return board.input_cores;
        case soc::group::output: return board.output_cores;
        }
    }
    return false;
}

void fpga::add_model(std::unique_ptr<core_model> model)
{
    std::lock_guard<std::mutex> lock(bus);
    model->reset();   // comes up as the hardware does
    const uint32_t first = model->block();
    for (unsigned r = 0; r < model->register_count(); ++r)
        if (first + r < owners.size())
            owners[first + r] = model.get();
    models.push_back(std::move(model));
}

core_model* fpga::owner(uint32_t index, unsigned& reg)
{
    core_model* m = owners[index];
    if (m)
        reg = index - m->block();
    return m;
}

uint32_t fpga::read32(uint32_t offset)
{
    ++calls_of_thread;
    return load(offset, 4);
}

uint8_t fpga::read8(uint32_t offset)
{
    ++calls_of_thread;
    return uint8_t(load(offset, 1));
}

uint32_t fpga::load(uint32_t offset, uint8_t width)
{
    std::lock_guard<std::mutex> lock(bus);
    if (offset + width > board.regs_size || (width == 4 && offset % 4)) {
        report_guest_error("bad read at offset " + std::to_string(offset));
        return 0;
    }
    const uint32_t index = offset / 4;
    const unsigned shift = width == 1 ? 8 * (offset % 4) : 0;
    unsigned reg = 0;
    uint32_t word = 0;
    if (core_model* m = owner(index, reg))
        word = m->read(reg);
    else if (answers_unowned(index))
        word = plain[index];
    else
        report_unimplemented("read of register 0x" + hex(index) + ", which no core has");
    const uint32_t value = width == 1 ? (word >> shift) & 0xFF : word;
    trace("read", reg_write{offset, value, width});
    return value;
}

bool fpga::answers_unowned(uint32_t index) const
{
    if (index == regs::platform_id_offset / 4 || index == regs::date_offset / 4)
        return true;
    // The blocks of the cores: where a board lacks a core, the bus reads 0
    // and drops writes, as the logic without that core does (the presence
    // word of an encoder the board lacks reads 0 so).
    for (const regs::core_map* map :
         {&regs::video_in_map, &regs::preview_in_map, &regs::audio_in_map, &regs::track_map})
        if (index >= map->block && index < map->block + regs::block_span)
            return !device_present(map->device);
    const uint32_t encoders = board.input_cores ? uint32_t(board.encoders) : 0;
    return index < regs::encoder_block(regs::encoder_count_max) && index >= regs::encoder_block(encoders);
}

void fpga::trace(const char* direction, const reg_write& access)
{
    if (!register_log)
        return;
    // One line an access: board time, direction, register, lane, value.
    fprintf(register_log.get(), "%12.6f %-5s reg 0x%03x lane %u %s 0x%0*x\n", time.now().count() / 1e9, direction,
            access.index(), access.width == 1 ? access.lane() : 0u, access.width == 1 ? "byte" : "word",
            access.width * 2, access.value);
}

void fpga::write32(uint32_t offset, uint32_t value)
{
    ++calls_of_thread;
    store(offset, value, 0xFFFFFFFFu, 4);
}

void fpga::write8(uint32_t offset, uint8_t value)
{
    ++calls_of_thread;
    const unsigned shift = 8 * (offset & 3);
    store(offset, uint32_t(value) << shift, 0xFFu << shift, 1);
}

void fpga::store(uint32_t offset, uint32_t value, uint32_t mask, uint8_t width)
{
    std::unique_lock<std::mutex> lock(bus);
    const reg_write w{offset, width == 1 ? (value & mask) >> (8 * (offset & 3)) : value, width};
    if (board.keep_writes) {
        write_log.push_back(w);
        if (write_log.size() > write_log_limit)
            write_log.pop_front();
    }
    trace("write", w);
    if (offset + width > board.regs_size || (width == 4 && offset % 4)) {
        report_guest_error("bad write at offset " + std::to_string(offset));
        return;
    }
    const uint32_t index = offset / 4;
    unsigned reg = 0;
    if (core_model* m = owner(index, reg)) {
        const bool command = reg == regs::control && ((mask >> (8 * regs::lane_command)) & 0xFF);
        if (core_log && command && uint8_t(value >> (8 * regs::lane_command)) == regs::command_arm)
            note(m->name().c_str(), start_event);
        m->bus_write(reg, value, mask);
        if (command) {
            // Woken once the bus is free again, so that a worker above the
            // writer's priority does not run only to wait for the mutex.
            lock.unlock();
            m->wake_worker();
        }
        return;
    }
    if (index == regs::platform_id_offset / 4 || index == regs::date_offset / 4) {
        report_guest_error("write to the read-only identification words");
        return;
    }
    if (answers_unowned(index))
        return;
    report_unimplemented("write of 0x" + hex(w.value) + " to register 0x" + hex(index) + ", which no core has");
}

void fpga::update_irq(int irq)
{
    bool asserted = false;
    for (auto& m : models)
        if (m->irq() == irq && m->irq_asserted())
            asserted = true;
    if (core_log && asserted && !lines[irq].asserted()) {
        for (const soc::uio_device& device : soc::uio_devices)
            if (device.core == irq)
                note(device.name, "irq");
    }
    lines[irq].set_level(asserted);
}

void fpga::note(const char* source, const char* what)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    core_events.push_back({int64_t(now.tv_sec) * 1000000000 + now.tv_nsec, source, what, gettid(), calls_of_thread});
}

void fpga::write_core_log()
{
    if (!core_log)
        return;
    for (const core_event& e : core_events) {
        fprintf(core_log.get(), "%lld.%09lld %s %s", (long long)(e.realtime_ns / 1000000000),
                (long long)(e.realtime_ns % 1000000000), e.source, e.what);
        if (std::strcmp(e.what, start_event) == 0)
            fprintf(core_log.get(), " %d %llu", int(e.thread), (unsigned long long)e.call);
        fputc('\n', core_log.get());
    }
    core_log.reset();
}

void fpga::enable_irq(int irq)
{
    ++calls_of_thread;
    std::lock_guard<std::mutex> lock(bus);
    lines[irq].enable();
}

uint32_t fpga::irq_count(int irq)
{
    return lines[irq].count();
}

bool fpga::wait_irq(int irq, uint32_t& seen, const timeval* timeout)
{
    ++calls_of_thread;
    if (!timeout)
        return lines[irq].wait(seen, std::nullopt);
    return lines[irq].wait(seen, std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec));
}

void fpga::set_input(const video_signal& signal)
{
    input_signal = signal;
    for (auto& m : models)
        m->input_changed();
    wake_models();
}

void fpga::report_guest_error(const std::string& text)
{
    fprintf(stderr, "virtual board: guest error: %s\n", text.c_str());
    log_error(text);
}

void fpga::report_unimplemented(const std::string& text)
{
    fprintf(stderr, "virtual board: unimplemented: %s\n", text.c_str());
    log_error("unimplemented: " + text);
}

void fpga::log_error(const std::string& line)
{
    if (guest_error_log) {
        fprintf(guest_error_log.get(), "%s\n", line.c_str());
        fflush(guest_error_log.get());
    }
    if (errors.size() < 1000)
        errors.push_back(line);
}

uint8_t* fpga::dma(uint64_t physical, size_t length)
{
    if (physical + length > memory.get_deleter().length || physical + length < physical) {
        report_guest_error("DMA outside memory at physical address " + std::to_string(physical));
        return nullptr;
    }
    return memory.get() + physical;
}

uint32_t fpga::bus_to_physical(uint32_t bus_address) const
{
    return soc::behind_altera_bridge(board.platform) ? bus_address & ~soc::altera_bridge_bit : bus_address;
}

std::vector<reg_write> fpga::writes()
{
    std::lock_guard<std::mutex> lock(bus);
    return {write_log.begin(), write_log.end()};
}

void fpga::set_unowned(uint32_t index, uint32_t value)
{
    std::lock_guard<std::mutex> lock(bus);
    if (index < plain.size() && !owners[index])
        plain[index] = value;
}

void fpga::clear_writes()
{
    std::lock_guard<std::mutex> lock(bus);
    write_log.clear();
}

std::vector<std::string> fpga::guest_errors()
{
    std::lock_guard<std::mutex> lock(bus);
    return errors;
}

void fpga::step(model_clock::duration step)
{
    time.advance(step);
    notify_models();
}

void fpga::notify_models()
{
    std::lock_guard<std::mutex> lock(bus);
    wake_models();
}

void fpga::wake_models()
{
    for (auto& m : models)
        m->wake_worker();
}

}   // namespace vfpga
