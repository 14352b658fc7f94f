#include "gather/gather.hpp"

#include <cstring>

#include "timecodes/timecodes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace telvane {
namespace {

constexpr std::uint64_t kBlockBytes = 192 * 1024;
constexpr std::uint64_t kLine = 64;

template <typename T>
T load(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

// One output cache line of T values from consecutive records, loaded before any is stored so
// that the loads of a line overlap.
template <typename T>
struct Line {
  static constexpr std::uint64_t kValues = kLine / sizeof(T);
  alignas(kLine) T values[kValues];

  void fill(const std::uint8_t* in, std::uint64_t stride) noexcept {
#pragma GCC unroll 16
    for (std::uint64_t j = 0; j < kValues; ++j) values[j] = load<T>(in + j * stride);
  }
};

// Asks for a line of the records to be brought into the L2 cache, without waiting for it.
void prefetch_line(const std::uint8_t* at) noexcept {
#if defined(__SSE2__)
  _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T1);
#elif defined(__GNUC__)
  __builtin_prefetch(at, 0, 2);
#endif
}

void store_line(const void* line, std::uint8_t* out, bool streaming) noexcept {
#if defined(__SSE2__)
  if (streaming) {
    const auto* from = static_cast<const __m128i*>(line);
    auto* to = reinterpret_cast<__m128i*>(out);
    for (int k = 0; k < 4; ++k) _mm_stream_si128(to + k, _mm_load_si128(from + k));
    return;
  }
#endif
  std::memcpy(out, line, kLine);
}

// Fixed-width values, a cache line of output at a time. Lines are streamed only where the
// output address is 16-byte aligned, which holds for whole lines of column memory.
template <typename T>
void copy_values(const std::uint8_t* in, std::uint64_t stride, std::uint64_t count, std::uint8_t* out,
                 bool streaming) noexcept {
  streaming = streaming && reinterpret_cast<std::uintptr_t>(out) % 16 == 0;
  Line<T> line;
  std::uint64_t i = 0;
  for (; i + Line<T>::kValues <= count; i += Line<T>::kValues) {
    line.fill(in + i * stride, stride);
    store_line(line.values, out + i * sizeof(T), streaming);
  }
  for (; i < count; ++i) std::memcpy(out + i * sizeof(T), in + i * stride, sizeof(T));
}

void copy_runs(const std::uint8_t* in, std::uint64_t stride, std::uint64_t count, std::uint64_t width,
               std::uint8_t* out) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) std::memcpy(out + i * width, in + i * stride, width);
}

// Bit k of the output is set when byte k of the records' runs is non-zero (runs of `width`
// bytes, one per record, taken back to back); least significant bit first.
void pack_bits(const std::uint8_t* in, std::uint64_t stride, std::uint64_t count, std::uint64_t width,
               std::uint8_t* out) noexcept {
  if (width == 1) {
    std::uint64_t i = 0;
    for (; i + 8 <= count; i += 8) {
      std::uint8_t bits = 0;
#pragma GCC unroll 8
      for (std::uint64_t j = 0; j < 8; ++j) bits |= static_cast<std::uint8_t>((in[(i + j) * stride] != 0) << j);
      out[i / 8] = bits;
    }
    if (i < count) {
      std::uint8_t bits = 0;
      for (std::uint64_t j = 0; i + j < count; ++j) bits |= static_cast<std::uint8_t>((in[(i + j) * stride] != 0) << j);
      out[i / 8] = bits;
    }
    return;
  }
  const std::uint64_t total = count * width;
  for (std::uint64_t byte = 0; byte * 8 < total; ++byte) {
    std::uint8_t bits = 0;
    for (std::uint64_t j = 0; j < 8 && byte * 8 + j < total; ++j) {
      const std::uint64_t k = byte * 8 + j;
      bits |= static_cast<std::uint8_t>((in[k / width * stride + k % width] != 0) << j);
    }
    out[byte] = bits;
  }
}

void convert_timecodes(const std::uint8_t* in, std::uint64_t stride, std::uint64_t count, std::uint8_t* out) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::int64_t timecode = seconds_to_timecode(load<double>(in + i * stride));
    std::memcpy(out + i * sizeof(timecode), &timecode, sizeof(timecode));
  }
}

void gather_target(const GatherTarget& target, const std::uint8_t* in, std::uint64_t stride, std::uint64_t first,
                   std::uint64_t count, bool streaming) noexcept {
  switch (target.kind) {
    case GatherKind::Timecodes: return convert_timecodes(in, stride, count, target.out + first * 8);
    case GatherKind::Bits: return pack_bits(in, stride, count, target.width, target.out + first * target.width / 8);
    case GatherKind::Copy: break;
  }
  std::uint8_t* out = target.out + first * target.width;
  switch (target.width) {
    case 1: return copy_values<std::uint8_t>(in, stride, count, out, streaming);
    case 4: return copy_values<std::uint32_t>(in, stride, count, out, streaming);
    case 8: return copy_values<std::uint64_t>(in, stride, count, out, streaming);
    default: return copy_runs(in, stride, count, target.width, out);
  }
}

}  // namespace

std::uint64_t output_bytes(GatherKind kind, std::uint64_t width, std::uint64_t records) noexcept {
  switch (kind) {
    case GatherKind::Copy: return width * records;
    case GatherKind::Bits: return (width * records + 7) / 8;
    case GatherKind::Timecodes: return sizeof(std::int64_t) * records;
  }
  return 0;
}

std::uint64_t block_records(std::uint64_t stride) noexcept {
  const std::uint64_t records = stride == 0 ? kBlockBytes : kBlockBytes / stride;
  return records < kLine ? kLine : records / kLine * kLine;
}

bool fetches_whole_records(std::size_t targets, std::uint64_t stride) noexcept { return targets * kLine >= stride; }

void gather_records(std::span<const GatherTarget> targets, ByteView records, std::uint64_t stride,
                    std::uint64_t first, std::uint64_t count, bool streaming) noexcept {
  if (targets.empty()) return;
  const std::uint64_t block = block_records(stride);
  const std::uint64_t end = first + count;
  // The next block's lines are asked for while this one is gathered, a share before each
  // target, so that the memory fetches overlap the gather, which alone waits for each line
  // in turn: every line of the next records, or each target's own line of them.
  const bool by_target = !fetches_whole_records(targets.size(), stride);
  for (std::uint64_t start = first; start < end; start += block) {
    const std::uint64_t n = end - start < block ? end - start : block;
    const std::uint8_t* next = records.data() + (start + n) * stride;
    const std::uint64_t next_records = end - start - n < block ? end - start - n : block;
    const std::uint64_t next_bytes = next_records * stride;
    const std::uint64_t share = (next_bytes / kLine / targets.size() + 1) * kLine;
    std::uint64_t fetched = 0;
    for (const GatherTarget& target : targets) {
      if (by_target) {
        for (std::uint64_t r = 0; r < next_records; ++r) prefetch_line(next + r * stride + target.offset);
      } else {
        for (const std::uint64_t until = fetched + share; fetched < until && fetched < next_bytes; fetched += kLine) {
          prefetch_line(next + fetched);
        }
      }
      gather_target(target, records.data() + start * stride + target.offset, stride, start, n, streaming);
    }
  }
}

void finish_streaming() noexcept {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

}  // namespace telvane
