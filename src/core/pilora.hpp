// The simulator interface: bed settings, the stack buffer that cuts portions into unit chunks,
// the exported heights and the pause flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

namespace pilora {

// Thrown by stacking when its interrupt poll asks it to stop. The chunk in flight has been
// deposited; what the buffer still holds stays there, like any remainder.
class StackingInterrupted : public std::exception {
public:
    const char* what() const noexcept override { return "stacking interrupted"; }
};

// A poll that stacking calls every `interval` chunks; a true result stops it
// (StackingInterrupted). No poll (the default) costs a countdown per chunk.
struct InterruptPoll {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
    std::uint32_t interval = 4096;
};

template <class Parameters>
class Pilora {
public:
    float bed_size_x;
    float bed_size_z;
    float reclaim_angle;  // degrees
    float particles_per_volume_unit;
    bool circular;
    float eight_neighbour_probability;
    float stored_setting_a;  // stored, given no effect
    float stored_setting_b;  // stored, given no effect
    std::atomic<bool> paused{false};
    std::uint32_t grid_nx = 0;
    std::uint32_t grid_nz = 0;
    std::unique_ptr<float[]> heights_buffer;  // grid_nx values per z row, made and filled by update_heights
    Parameters stack_buffer;                  // material not deposited yet (less than one chunk)

    Pilora(float bed_size_x, float bed_size_z, float reclaim_angle, float particles_per_volume_unit,
           bool circular, float eight_neighbour_probability, float stored_setting_a,
           float stored_setting_b)
        : bed_size_x(bed_size_x),
          bed_size_z(bed_size_z),
          reclaim_angle(reclaim_angle),
          particles_per_volume_unit(particles_per_volume_unit),
          circular(circular),
          eight_neighbour_probability(eight_neighbour_probability),
          stored_setting_a(stored_setting_a),
          stored_setting_b(stored_setting_b) {}

    Pilora(const Pilora&) = delete;
    Pilora& operator=(const Pilora&) = delete;

    // The virtual operations, in slot order.
    virtual ~Pilora() = default;

    virtual void pause() { paused.store(true); }
    virtual void resume() { paused.store(false); }
    virtual bool is_paused() { return paused.load(); }

    // Buffers `parameters` and deposits every whole unit chunk of the buffer at (x, z); a
    // remainder smaller than a chunk waits for the next portion.
    virtual void stack(const Parameters& parameters, float x, float z) {
        const double chunk_volume = static_cast<double>(1.0f / particles_per_volume_unit);
        stack_buffer.merge(parameters);
        while (stack_buffer.volume >= chunk_volume) {
            stack_buffer.pop_into(chunk_volume, chunk_);
            deposit(chunk_, x, z);
            if (--interrupt_countdown_ == 0) [[unlikely]] poll_interrupt();
        }
    }

    // Sets the poll that may interrupt stacking (see InterruptPoll); a default InterruptPoll
    // removes it.
    void set_interrupt_poll(const InterruptPoll& poll) {
        interrupt_ = poll;
        if (interrupt_.interval == 0) interrupt_.interval = 1;
        interrupt_countdown_ = interrupt_.interval;
    }

    virtual void reset() = 0;
    virtual void finish_stacking() = 0;
    virtual bool reclaim_finished() = 0;
    virtual Parameters reclaim(float x) = 0;
    virtual void deposit(const Parameters& chunk, float x, float z) = 0;
    virtual void update_heights() {}

private:
    [[gnu::noinline]] void poll_interrupt() {
        interrupt_countdown_ = interrupt_.interval;
        if (interrupt_.poll != nullptr && interrupt_.poll(interrupt_.context)) {
            throw StackingInterrupted();
        }
    }

    Parameters chunk_;  // the chunk being deposited; reused so that cutting allocates nothing
    InterruptPoll interrupt_;
    std::uint32_t interrupt_countdown_ = InterruptPoll{}.interval;
};

}  // namespace pilora
