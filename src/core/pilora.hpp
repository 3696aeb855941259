// The simulator interface: bed settings, the stack buffer that cuts portions into unit chunks,
// the exported heights and the pause flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace pilora {

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
    std::unique_ptr<float[]> heights_buffer;  // grid_nx values per z row, valid after update_heights
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
        }
    }

    virtual void reset() = 0;
    virtual void finish_stacking() = 0;
    virtual bool reclaim_finished() = 0;
    virtual Parameters reclaim(float x) = 0;
    virtual void deposit(const Parameters& chunk, float x, float z) = 0;
    virtual void update_heights() {}

private:
    Parameters chunk_;  // the chunk being deposited; reused so that cutting allocates nothing
};

}  // namespace pilora
