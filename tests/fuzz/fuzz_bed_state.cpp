// Fuzzer of a bed's saved state (libFuzzer, ASan, UBSan): Bed::restore takes any bytes. What it
// refuses must be refused with std::invalid_argument; what it accepts must save back to the same
// bytes and take further stacking and reclaiming. Most inputs are edits of a valid state with the
// checksum made to match again, so that the checks behind the checksum are reached.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bed.hpp"

namespace {

using pilora::Bed;
using pilora::BedSettings;
using pilora::Column;
using pilora::Portions;

#define CHECK(c) \
    ((c) ? void() : (std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #c), std::abort()))

Portions portions(const std::vector<double>& x, const std::vector<double>& z, const std::vector<double>& volume,
                  const std::vector<double>& values, std::size_t parameters) {
    Portions p;
    p.count = x.size();
    p.x = {x.data(), sizeof(double)};
    p.z = {z.data(), sizeof(double)};
    p.volume = {volume.data(), sizeof(double)};
    for (std::size_t j = 0; j < parameters; ++j) p.values.push_back({values.data() + j, 0});
    return p;
}

// Valid states to edit: a fresh bed, a stacked and partly reclaimed bed with two parameters, a
// circular bed stacked without parameters, and a bed with sections across and along it.
const std::string& base_state(int which) {
    static const std::vector<std::string> states = [] {
        std::vector<std::string> made;
        made.push_back(Bed(BedSettings{6, 3, 45, 4}, 7).save());
        std::vector<double> x, z, volume;
        for (int i = 0; i < 30; ++i) {
            x.push_back(0.2 * i);
            z.push_back(1.5);
            volume.push_back(0.3);
        }
        const std::vector<double> values{2.5, 7.0};
        Bed linear(BedSettings{6, 3, 30, 4, false, 0.3f, 40}, 11);
        Portions p = portions(x, z, volume, values, 2);
        p.names = std::vector<std::string>{"grade", "moisture"};
        linear.stack(std::move(p));
        linear.reclaim(2.0f);
        made.push_back(linear.save());
        Bed circular(BedSettings{5, 5, 60, 2, true, 0.7f, 45}, 13);
        Portions q = portions(x, z, volume, values, 0);
        q.names = std::vector<std::string>{};
        circular.stack(std::move(q));
        made.push_back(circular.save());
        Bed sectioned(BedSettings{6, 3, 45, 4}, 17,
                      {{pilora::SectionKind::across, 3.0f}, {pilora::SectionKind::along, 1.5f}});
        Portions r = portions(x, z, volume, values, 2);
        r.names = std::vector<std::string>{"grade", "moisture"};
        sectioned.stack(std::move(r));
        made.push_back(sectioned.save());
        return made;
    }();
    return states[static_cast<std::size_t>(which)];
}

void seal(std::string& state) {
    if (state.size() < 8) return;
    state.resize(state.size() - 8);
    const std::uint64_t sum = pilora::bed_detail::checksum(state);
    for (int b = 0; b < 8; ++b) state.push_back(static_cast<char>(sum >> 8 * b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::string state;
    const int mode = in.ConsumeIntegralInRange(0, 3);
    if (mode == 0) {
        state = in.ConsumeRemainingBytesAsString();
    } else {
        state = base_state(in.ConsumeIntegralInRange(0, 3));
        const int edits = in.ConsumeIntegralInRange(1, 6);
        for (int e = 0; e < edits && in.remaining_bytes() > 0; ++e) {
            const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, state.size() - 1);
            switch (in.ConsumeIntegralInRange(0, 3)) {
                case 0: state[at] = static_cast<char>(in.ConsumeIntegral<std::uint8_t>()); break;
                case 1: {  // a number of 4 or 8 bytes
                    const std::string bytes = in.ConsumeBytesAsString(in.ConsumeBool() ? 4 : 8);
                    state.replace(at, std::min(bytes.size(), state.size() - at), bytes);
                    break;
                }
                case 2: state.erase(at, in.ConsumeIntegralInRange<std::size_t>(1, 16)); break;
                default: state.insert(at, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 16)));
            }
        }
        if (mode != 3) seal(state);  // mode 3 keeps the checksum as it is
    }

    std::unique_ptr<Bed> bed;
    try {
        bed = Bed::restore(state);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    CHECK(bed->save() == state);

    // The restored bed takes more material (unless it is full) and reclaims to its end.
    const double cell = bed->cell_size();
    std::vector<double> x, z, volume;
    for (int i = 0; i < 6; ++i) {
        x.push_back(cell * i * 1.7);
        z.push_back(cell * (i % 3));
        volume.push_back(bed->chunk_volume() * 1.5);
    }
    const std::size_t parameters = bed->parameter_names().value_or(std::vector<std::string>{}).size();
    const std::vector<double> values(parameters, 3.0);
    const double before = bed->balance().stacked;
    // (A large buffer, as an interrupted stack leaves it, goes down with the next portion: slow.)
    if (bed->balance().buffered < 1e4 * bed->chunk_volume()) try {
        bed->stack(portions(x, z, volume, values, parameters));
        CHECK(bed->balance().stacked > before);
    } catch (const std::invalid_argument&) {
        CHECK(bed->save() == state);  // refused (the bed is full): nothing changed
    }
    const pilora::ReclaimRows rows = bed->reclaim(static_cast<float>(cell));
    CHECK(rows.averages.size() == rows.x.size() * parameters);
    CHECK(Bed::restore(bed->save())->save() == bed->save());
    return 0;
}
