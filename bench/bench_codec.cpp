// Base64 throughput. Every figure counts the binary bytes (the encoder's input, the decoder's
// output), so encode and decode compare directly. The "Reference" rows are the plain
// character-at-a-time loop a first implementation would write, with the same line layout.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<BYTE> RandomBytes(std::size_t n) {
  std::mt19937 rng(42);
  std::vector<BYTE> v(n);
  for (auto& b : v) b = static_cast<BYTE>(rng());
  return v;
}

// The plain loop: one group of three bytes at a time into a buffer, a line feed after 18 groups.
std::size_t ReferenceEncode(const BYTE* in, std::size_t n, char* out) {
  int onLine = 0;
  std::size_t i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    out[o++] = kAlphabet[in[i] >> 2];
    out[o++] = kAlphabet[((in[i] & 3) << 4) | (in[i + 1] >> 4)];
    out[o++] = kAlphabet[((in[i + 1] & 15) << 2) | (in[i + 2] >> 6)];
    out[o++] = kAlphabet[in[i + 2] & 63];
    if (++onLine == 18) {
      out[o++] = '\n';
      onLine = 0;
    }
  }
  return o;  // the tail does not matter for the figure
}

// The plain loop: a 256-entry table, white space skipped character by character.
std::size_t ReferenceDecode(const char* text, BYTE* out) {
  signed char table[256];
  std::memset(table, -1, sizeof table);
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
  unsigned acc = 0;
  int bits = 0;
  std::size_t o = 0;
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    const int v = table[*p];
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[o++] = static_cast<BYTE>(acc >> bits);
    }
  }
  return o;
}

void BM_Base64Encode(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    velmor::MallocChars text(velmor::Base64Encode(data.data(), static_cast<int>(data.size())));
    benchmark::DoNotOptimize(text.get());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ReferenceEncode(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  std::vector<char> text(velmor::Base64EncodedSize(static_cast<int>(data.size())));
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReferenceEncode(data.data(), data.size(), text.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  velmor::MallocChars text(velmor::Base64Encode(data.data(), static_cast<int>(data.size())));
  for (auto _ : state) {
    BYTE* out = nullptr;
    DWORD length = 0;
    if (velmor::Base64Decode(text.get(), &out, &length) != velmor::kBase64Ok) {
      state.SkipWithError("decode failed");
      break;
    }
    velmor::MallocBytes owned(out);
    benchmark::DoNotOptimize(owned.get());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ReferenceDecode(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  velmor::MallocChars text(velmor::Base64Encode(data.data(), static_cast<int>(data.size())));
  std::vector<BYTE> out(data.size() + 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReferenceDecode(text.get(), out.data()));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// 600000 bytes is the largest text a page can hand in; 4 MiB stands for a large file result.
BENCHMARK(BM_Base64Encode)->Arg(1 << 10)->Arg(600000)->Arg(4 << 20);
BENCHMARK(BM_ReferenceEncode)->Arg(600000)->Arg(4 << 20);
BENCHMARK(BM_Base64Decode)->Arg(1 << 10)->Arg(600000)->Arg(4 << 20);
BENCHMARK(BM_ReferenceDecode)->Arg(600000)->Arg(4 << 20);

}  // namespace

BENCHMARK_MAIN();
