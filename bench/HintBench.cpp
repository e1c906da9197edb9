// Speed of the look a scan takes at every 512-byte block for a superblock (SuperblockHint),
// over 1 GiB of blocks in memory, half random bytes and half zeros, in nanoseconds per block:
//  - "from memory": every block of the 1 GiB seen once, so the bytes come from main memory;
//  - "in cache": one 64 KiB transfer of the disk layer seen 8192 times over, as a scan sees
//    the blocks of the chunk it has just read.
// The blocks are made first and not timed.
//
//   quillmark-hint-bench
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "fs/LinuxFs.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kHalf = size_t{512} << 20;
constexpr size_t kChunk = 65536;

// The time per block of looking at `total` bytes of blocks, taken from `bytes` over and over.
double NanosPerBlock(const std::vector<uint8_t>& bytes, size_t total, size_t& hints) {
  const size_t blocks = bytes.size() / 512;
  const auto begin = Clock::now();
  for (size_t done = 0; done < total; done += bytes.size())
    for (size_t b = 0; b < blocks; ++b)
      if (qm::SuperblockHint(std::span<const uint8_t, 512>(bytes.data() + b * 512, 512))) ++hints;
  const std::chrono::duration<double, std::nano> took = Clock::now() - begin;
  return took.count() / static_cast<double>(total / 512);
}

}  // namespace

int main() {
  std::vector<uint8_t> random(kHalf), zeros(kHalf);
  std::mt19937_64 generator(20240601);
  for (size_t at = 0; at < kHalf; at += 8) {
    const uint64_t word = generator();
    for (size_t i = 0; i < 8; ++i) random[at + i] = static_cast<uint8_t>(word >> (8 * i));
  }
  const std::vector<uint8_t> randomChunk(random.begin(), random.begin() + kChunk), zeroChunk(kChunk);
  size_t hints = 0;
  // Once over both untimed, so that the pages are mapped and the code is warm.
  NanosPerBlock(random, kHalf, hints);
  NanosPerBlock(zeros, kHalf, hints);
  hints = 0;
  const double randomMemory = NanosPerBlock(random, kHalf, hints), zeroMemory = NanosPerBlock(zeros, kHalf, hints);
  const double randomCache = NanosPerBlock(randomChunk, kHalf, hints), zeroCache = NanosPerBlock(zeroChunk, kHalf, hints);
  std::printf("SuperblockHint, ns per 512-byte block over 1 GiB (half random, half zeros):\n"
              "  from memory  random %.2f  zeros %.2f\n"
              "  in cache     random %.2f  zeros %.2f\n"
              "  hints found: %zu\n",
              randomMemory, zeroMemory, randomCache, zeroCache, hints);
  return 0;
}
