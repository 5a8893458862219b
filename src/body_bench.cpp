// Throughput of the two body passes on 72-character lines, in bytes per
// second of input. The bulletin goes to /dev/null.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kelvane.h"

namespace {

std::vector<unsigned char> message_lines(size_t size)
{
	const std::string line =
	        "Gale warning: west to northwest winds 35 to 45 knots, seas 6 to 8 m.    \n";
	std::vector<unsigned char> bytes;
	while (bytes.size() < size)
		bytes.insert(bytes.end(), line.begin(), line.end());
	return bytes;
}

void BM_CleanupText(benchmark::State &state)
{
	std::vector<unsigned char> bytes = message_lines(static_cast<size_t>(state.range(0)));
	text_buffer = bytes.data();
	for (auto _ : state)
		benchmark::DoNotOptimize(proc_cleanup_text(static_cast<int>(bytes.size())));
	state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_WriteMessage(benchmark::State &state)
{
	std::vector<unsigned char> bytes = message_lines(static_cast<size_t>(state.range(0)));
	text_buffer = bytes.data();
	proc_cleanup_text(static_cast<int>(bytes.size()));
	talvex_out = fopen("/dev/null", "wb");
	for (auto _ : state)
		benchmark::DoNotOptimize(proc_write_message(static_cast<int>(bytes.size())));
	fclose(talvex_out);
	state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

BENCHMARK(BM_CleanupText)->Arg(900000);
BENCHMARK(BM_WriteMessage)->Arg(900000);

} // namespace

BENCHMARK_MAIN();
