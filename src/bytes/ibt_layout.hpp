#pragma once

#include <cstdint>

#include "bytes/byte_view.hpp"

// Where the fields of an IBT file lie: the main header and disk sub-header at the start of
// the file, and the variable headers wherever the main header points.
namespace telvane::layout {

/// The main header.
inline constexpr std::uint64_t kHeaderSize = 112;
inline constexpr Field<std::int32_t> kVersion{0};
inline constexpr Field<std::int32_t> kStatus{4};  // bit 0: the simulator is connected
inline constexpr Field<std::int32_t> kTickRate{8};
inline constexpr Field<std::int32_t> kSessionInfoLen{16};
inline constexpr Field<std::int32_t> kSessionInfoOffset{20};
inline constexpr Field<std::int32_t> kNumVars{24};
inline constexpr Field<std::int32_t> kVarHeaderOffset{28};
inline constexpr Field<std::int32_t> kNumBuf{32};
inline constexpr Field<std::int32_t> kBufLen{36};
// The buffer descriptors start at 48, 16 bytes each (tick count, offset); a file on disk
// keeps its records behind the first one, a live dump one record in each.
inline constexpr Field<std::int32_t> kBufOffset{48 + 4};
constexpr Field<std::int32_t> buffer_tick(std::int32_t i) { return {48 + 16 * static_cast<std::uint64_t>(i)}; }
constexpr Field<std::int32_t> buffer_offset(std::int32_t i) { return {52 + 16 * static_cast<std::uint64_t>(i)}; }

/// The disk sub-header follows the main header; together they make the file's head.
inline constexpr std::uint64_t kFileHeadSize = 144;
inline constexpr Field<std::int64_t> kSessionStartDate{112};
inline constexpr Field<double> kStartTime{120};
inline constexpr Field<double> kEndTime{128};
inline constexpr Field<std::int32_t> kLapCount{136};
inline constexpr Field<std::int32_t> kSessionRecordCount{140};

/// One variable header.
inline constexpr std::uint64_t kVarHeaderSize = 144;
inline constexpr Field<std::uint32_t> kVarType{0};
inline constexpr Field<std::int32_t> kVarOffset{4};
inline constexpr Field<std::int32_t> kVarCount{8};
inline constexpr TextField kVarName{16, 32};
inline constexpr TextField kVarDesc{48, 64};
inline constexpr TextField kVarUnit{112, 32};

}  // namespace telvane::layout
