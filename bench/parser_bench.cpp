// Telemetry parser throughput: the receiver's parsePacket_ on typical packets, against the floor
// of merely scanning the same bytes for the separators any parser has to find.

#include <benchmark/benchmark.h>

#include <string>

#include "ReceiverImpl.hpp"

namespace {

// A sample packet as a controller writes it during a motion (without its carriage return, which
// the reader strips): six pose values, then six joint angles, at most six decimals.
const std::string kSamplePacket =
    "X=320.512345;Y=-40.000127;Z=450.25;U=12.5;V=-0.000021;W=179.999873;J1agl=-7.123456;"
    "J2agl=12.654321;J3agl=-28.5;J4agl=0.000123;J5agl=-73.345678;J6agl=172.876543";
// The status packet that follows every tenth sample.
const std::string kStatusPacket = "STAT=4194304;SYSERR=0;CTRLDEV=26;ROBOTINFO=12;CTRLINFO=0";

void parse(benchmark::State& state, const std::string& packet) {
    epson::EthernetReceiveInterface::Impl impl;
    for (auto _ : state) {
        impl.parsePacket_(packet);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packet.size()));
}

void scan(benchmark::State& state, const std::string& packet) {
    for (auto _ : state) {
        const char* data = packet.data();
        benchmark::DoNotOptimize(data);
        std::size_t separators = 0;
        for (std::size_t i = 0; i < packet.size(); ++i) {
            separators += static_cast<std::size_t>(data[i] == ';') + (data[i] == '=');
        }
        benchmark::DoNotOptimize(separators);
        benchmark::ClobberMemory();  // the bytes must be read again next time
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packet.size()));
}

void BM_ParseSample(benchmark::State& state) {
    parse(state, kSamplePacket);
}
void BM_ScanSample(benchmark::State& state) {
    scan(state, kSamplePacket);
}
void BM_ParseStatus(benchmark::State& state) {
    parse(state, kStatusPacket);
}
void BM_ScanStatus(benchmark::State& state) {
    scan(state, kStatusPacket);
}

}  // namespace

BENCHMARK(BM_ParseSample);
BENCHMARK(BM_ScanSample);
BENCHMARK(BM_ParseStatus);
BENCHMARK(BM_ScanStatus);

BENCHMARK_MAIN();
