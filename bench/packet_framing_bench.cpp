// How fast complete packets are cut out of a receive buffer.

#include <benchmark/benchmark.h>

#include <string>

#include "transport/packet_framing.h"

namespace parlivo {
namespace {

// `count` packets of `size` bytes each (header included), back to back.
std::string PacketRun(int count, int size) {
  ByteStream stream;
  const std::string payload(static_cast<std::size_t>(size - kPacketHeaderSize), 'p');
  for (int i = 0; i < count; ++i) AppendPacket(stream, MakePacket(size - kPacketHeaderSize, 8, payload.data()));
  return std::string(stream.view());
}

void BM_ReceivePass64BytePackets(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string bytes = PacketRun(count, 64);
  ByteStream buffer;
  ByteStream payload;
  std::size_t delivered = 0;
  for (auto _ : state) {
    buffer.assign(bytes.data(), bytes.size());
    RunReceivePass(buffer, payload, [&](std::int32_t, ByteStream& data) {
      delivered += data.size();
      return true;
    });
  }
  benchmark::DoNotOptimize(delivered);
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_ReceivePass64BytePackets)->Arg(64)->Arg(1024);

void BM_AppendPacket(benchmark::State& state) {
  const std::string payload(56, 'p');
  ByteStream queue;
  for (auto _ : state) {
    if (queue.size() > (1u << 20)) queue.clear();
    AppendPacket(queue, MakePacket(56, 8, payload.data()));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendPacket);

}  // namespace
}  // namespace parlivo
