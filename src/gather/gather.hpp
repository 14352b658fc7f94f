#pragma once

#include <cstdint>
#include <span>

#include "bytes/byte_view.hpp"

namespace telvane {

/// How a target's bytes in each record become its output.
enum class GatherKind {
  Copy,       ///< `width` bytes per record, copied unchanged, records back to back
  Bits,       ///< `width` bytes per record, each packed into one bit of an Arrow bitmap: set when non-zero
  Timecodes,  ///< an 8-byte double of seconds per record, stored as int64 milliseconds
};

/// One value (or run of array elements) taken from every record into its own buffer.
struct GatherTarget {
  GatherKind kind;
  std::uint64_t offset;  // of the bytes within a record
  std::uint64_t width;   // bytes per record
  std::uint8_t* out;     // room for the output of every record
};

/// Bytes of output a target of `kind` and `width` gives for `records` records.
[[nodiscard]] std::uint64_t output_bytes(GatherKind kind, std::uint64_t width, std::uint64_t records) noexcept;

/// Records per block for records of `stride` bytes: about 192 KiB of the record area, so that
/// a block and the next, fetched while it is gathered, stay in the L2 cache; a multiple of 64
/// records so that every block starts on a whole output cache line and a whole bitmap byte of
/// every target.
[[nodiscard]] std::uint64_t block_records(std::uint64_t stride) noexcept;

/// Whether gather_records asks for every line of the records ahead, which it does where the
/// targets are at least as many as a record's cache lines (else only each target's own).
[[nodiscard]] bool fetches_whole_records(std::size_t targets, std::uint64_t stride) noexcept;

/// Gathers records [first, first + count) of every target, a block at a time: each cache
/// line of the record area is fetched from memory once rather than once per target, and
/// the next block's lines are fetched while one is gathered.
/// `first` is a multiple of 64. With `streaming`, full output cache lines are written with
/// non-temporal stores, which skip reading fresh output pages into the cache; worth it only
/// when the output is far larger than the caches. The caller has checked that every read
/// lies inside `records`.
void gather_records(std::span<const GatherTarget> targets, ByteView records, std::uint64_t stride,
                    std::uint64_t first, std::uint64_t count, bool streaming) noexcept;

/// Makes the non-temporal stores of this thread visible before its output is handed on.
void finish_streaming() noexcept;

}  // namespace telvane
