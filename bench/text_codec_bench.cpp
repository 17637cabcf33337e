// Throughput of the chat text codec on 4 KiB texts. Bytes processed are
// counted as input bytes handed to each function.
#include <cstdint>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "encoding/text_codec.h"

namespace {

constexpr std::size_t kTextSize = 4096;

// Random printable text without zero bytes, fixed seed for repeatable runs.
std::string PrintableText(std::size_t n) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> printable(0x20, 0x7E);
  std::string text(n, ' ');
  for (char& c : text) c = static_cast<char>(printable(rng));
  return text;
}

void BM_EncodeText(benchmark::State& state) {
  const std::string text = PrintableText(kTextSize);
  for (auto _ : state) benchmark::DoNotOptimize(parlivo::EncodeText(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EncodeText);

void BM_DecodeText(benchmark::State& state) {
  const std::string encoded = parlivo::EncodeText(PrintableText(kTextSize));
  for (auto _ : state) benchmark::DoNotOptimize(parlivo::DecodeText(encoded));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded.size()));
}
BENCHMARK(BM_DecodeText);

}  // namespace
