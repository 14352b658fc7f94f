#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace telvane {

/// A fixed field of type T at `offset` inside a structure of the file.
template <typename T>
struct Field {
  std::uint64_t offset;
};

/// A fixed-width text field: `width` bytes at `offset`, ending early at a NUL.
struct TextField {
  std::uint64_t offset;
  std::uint64_t width;
};

// IBT files are little-endian and carry no alignment guarantee; loads go through memcpy,
// which is exact on the little-endian hosts the simulator and this reader run on.
static_assert(std::endian::native == std::endian::little, "IBT values are read as little-endian");

/// A read-only view of bytes with bounds-checked, unaligned little-endian loads.
class ByteView {
public:
  ByteView() = default;
  ByteView(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  [[nodiscard]] const std::uint8_t* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  /// True when [offset, offset + length) lies inside the view.
  [[nodiscard]] bool contains(std::uint64_t offset, std::uint64_t length) const noexcept {
    return offset <= size_ && length <= size_ - offset;
  }

  /// The bytes [offset, offset + length), or nothing when they leave the view.
  [[nodiscard]] std::optional<ByteView> slice(std::uint64_t offset, std::uint64_t length) const noexcept {
    if (!contains(offset, length)) return std::nullopt;
    return ByteView(data_ + offset, static_cast<std::size_t>(length));
  }

  /// The value of type T at `offset`, or nothing when it does not fit.
  template <typename T>
  [[nodiscard]] std::optional<T> load(std::uint64_t offset) const noexcept {
    if (!contains(offset, sizeof(T))) return std::nullopt;
    return load_unchecked<T>(offset);
  }

  /// The value of type T at `offset`; the caller has checked that it fits.
  template <typename T>
  [[nodiscard]] T load_unchecked(std::uint64_t offset) const noexcept {
    T value;
    std::memcpy(&value, data_ + offset, sizeof(T));
    return value;
  }

  /// The value of a fixed field of a structure whose size the caller has checked. A field
  /// past the end reads as zero; after the caller's check that cannot happen.
  template <typename T>
  [[nodiscard]] T read(Field<T> field) const noexcept {
    return load<T>(field.offset).value_or(T{});
  }

  /// A text field up to its first NUL, or whole when it has none; empty past the end (which,
  /// as for read(), the caller's size check rules out).
  [[nodiscard]] std::string_view text(TextField field) const noexcept {
    const std::optional<ByteView> bytes = slice(field.offset, field.width);
    if (!bytes) return {};
    const std::string_view chars = bytes->chars();
    return chars.substr(0, chars.find('\0'));
  }

  [[nodiscard]] std::string_view chars() const noexcept {
    return {reinterpret_cast<const char*>(data_), size_};
  }

private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace telvane
