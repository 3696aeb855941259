// Core benchmarks on workload W1: deposition against the floor of its random draws, the
// baseline walk that draws through std::minstd_rand, cutting below one chunk, and reclaiming.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>

#include "library_engine_simulator.hpp"
#include "workload.hpp"

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

// Counting allocator: every heap allocation of the process passes here.
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using pilora::AveragedParameters;
using pilora::deposition_engine;
using pilora::PiloraFast;
namespace bench = pilora::bench;

const std::vector<bench::Portion>& portions() {
    static const std::vector<bench::Portion> w1 = bench::w1_portions();
    return w1;
}

// Engine outputs one W1 run draws (the same for every run from the same seed).
std::uint64_t w1_outputs() {
    static const std::uint64_t outputs = [] {
        auto bed = bench::w1_bed();
        deposition_engine().seed(bench::w1_seed);
        bench::stack_all(*bed, portions());
        return bench::outputs_since(bench::w1_seed, deposition_engine());
    }();
    return outputs;
}

template <class Simulator>
void deposition(benchmark::State& state) {
    const std::uint64_t steps = w1_outputs() / 3;
    const std::size_t first_pass = bench::w1_positions;
    std::uint64_t steady_allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto bed = bench::w1_bed<Simulator>();
        deposition_engine().seed(bench::w1_seed);
        state.ResumeTiming();
        const auto& all = portions();
        for (std::size_t p = 0; p < first_pass; ++p) bed->stack(all[p].material, all[p].x, all[p].z);
        const std::uint64_t before = allocations.load();
        for (std::size_t p = first_pass; p < all.size(); ++p) bed->stack(all[p].material, all[p].x, all[p].z);
        steady_allocations = allocations.load() - before;
        benchmark::DoNotOptimize(bed->height_grid.data());
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["chunks/s"] = benchmark::Counter(static_cast<double>(bench::w1_chunks) * iterations,
                                                    benchmark::Counter::kIsRate);
    state.counters["ns/chunk"] = benchmark::Counter(
        static_cast<double>(bench::w1_chunks) * iterations * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ns/step"] = benchmark::Counter(
        static_cast<double>(steps) * iterations * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["steps/chunk"] =
        static_cast<double>(steps) / static_cast<double>(bench::w1_chunks);
    state.counters["steady_allocs"] = static_cast<double>(steady_allocations);
}

// The floor: the same number of engine outputs drawn from std::minstd_rand, with the two draws
// of a walk step computed from them.
void floor(benchmark::State& state) {
    const std::uint64_t steps = w1_outputs() / 3;
    for (auto _ : state) {
        std::minstd_rand engine(bench::w1_seed);
        double u_sum = 0.0;
        unsigned s_sum = 0;
        for (std::uint64_t step = 0; step < steps; ++step) {
            const auto o1 = static_cast<std::uint32_t>(engine());
            const auto o2 = static_cast<std::uint32_t>(engine());
            u_sum += pilora::minstd::unit_draw(o1, o2);
            auto o = static_cast<std::uint32_t>(engine());
            while (o - 1 >= pilora::minstd::start_index_limit) o = static_cast<std::uint32_t>(engine());
            s_sum += pilora::minstd::start_index(o);
        }
        benchmark::DoNotOptimize(u_sum);
        benchmark::DoNotOptimize(s_sum);
    }
    state.counters["ns/step"] = benchmark::Counter(
        static_cast<double>(steps) * static_cast<double>(state.iterations()) * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Cutting: portions too small to make a chunk only merge into the stack buffer.
void stack_below_chunk(benchmark::State& state) {
    auto bed = bench::w1_bed();
    AveragedParameters tiny;
    tiny.add(1e-12, {50.0, 5.0});
    for (auto _ : state) bed->stack(tiny, 50.0f, 10.0f);
    state.SetItemsProcessed(state.iterations());
}

// Reclaiming the stacked W1 bed with increment 0.05.
void reclaim(benchmark::State& state) {
    std::size_t rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto bed = bench::w1_bed();
        bench::stack_all(*bed, portions());
        state.ResumeTiming();
        rows = 0;
        float x = 0.0f;
        while (!bed->reclaim_finished()) {
            benchmark::DoNotOptimize(bed->reclaim(x));
            x = x + 0.05f;
            ++rows;
        }
    }
    state.counters["ns/row"] = benchmark::Counter(
        static_cast<double>(rows) * static_cast<double>(state.iterations()) * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Short repetitions (the report takes the best of many), so that a burst of load from elsewhere
// spoils one repetition rather than the average of every one.
BENCHMARK(deposition<PiloraFast<AveragedParameters>>)->Name("W1/deposition")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(floor)->Name("W1/floor")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(deposition<pilora::testing::LibraryEngineSimulator>)->Name("W1/deposition_library_engine")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(stack_below_chunk)->Name("stack_below_chunk");
BENCHMARK(reclaim)->Name("W1/reclaim")->Unit(benchmark::kMicrosecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
