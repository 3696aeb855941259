// Workload W1 through pilora::Bed, as the package's native module calls it: its own engine seeded
// as the core benchmark seeds the process engine, checked stacking from columns. Compared with
// core_bench's W1/deposition by benchmarks/bench_bed.py. W1/bed_deposition_sections is the same
// with two sections, across the middle (x = 50) and along the stacking lane (z = 10, the crest,
// where most chunks come to rest): at most 5 % slower per chunk than W1/bed_deposition.
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "bed.hpp"
#include "workload.hpp"

namespace {

namespace bench = pilora::bench;

void bed_deposition(benchmark::State& state, std::vector<pilora::SectionPlacement> sections) {
    std::vector<double> x, z, volume, grade, moisture;
    for (const bench::Portion& p : bench::w1_portions()) {
        x.push_back(p.x);
        z.push_back(p.z);
        volume.push_back(p.material.volume);
        grade.push_back(p.material.weighted_sums[0] / p.material.volume);
        moisture.push_back(p.material.weighted_sums[1] / p.material.volume);
    }
    const auto column = [](const std::vector<double>& v) { return pilora::Column{v.data(), sizeof(double)}; };
    for (auto _ : state) {
        state.PauseTiming();
        pilora::Bed bed(pilora::BedSettings{100.0f, 20.0f, 45.0f, 8.0f, false, 0.5f, 45.0f}, bench::w1_seed, sections);
        pilora::Portions table;
        table.count = x.size();
        table.x = column(x);
        table.z = column(z);
        table.volume = column(volume);
        table.values = {column(grade), column(moisture)};
        table.names = std::vector<std::string>{"grade", "moisture"};
        state.ResumeTiming();
        bed.stack(std::move(table));
        benchmark::DoNotOptimize(bed.engine_state());
    }
    state.counters["ns/chunk"] = benchmark::Counter(
        static_cast<double>(bench::w1_chunks) * static_cast<double>(state.iterations()) * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(bed_deposition, plain, std::vector<pilora::SectionPlacement>{})
    ->Name("W1/bed_deposition")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(bed_deposition, sections,
                  std::vector<pilora::SectionPlacement>{{pilora::SectionKind::across, 50.0f},
                                                        {pilora::SectionKind::along, 10.0f}})
    ->Name("W1/bed_deposition_sections")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
