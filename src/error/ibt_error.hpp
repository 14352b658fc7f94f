#pragma once

#include <string>
#include <utility>
#include <variant>

namespace telvane {

/// The error value of every fallible step of reading an IBT file.
class IbtError {
public:
  enum class Kind {
    Io,             ///< opening, measuring or mapping the source
    InvalidHeader,  ///< the file's layout violates a check of the reader
    Arrow,          ///< the Arrow library refused an array, schema or batch
    Internal,       ///< a defect of the code, or a deliberate stop
    OutOfRange,     ///< a fixed-width read of the file's records that would leave the record area
    NotRecording,   ///< the bytes do not begin as an IBT file at all
    LiveDump,       ///< a dump of the simulator's live telemetry memory, not a recording written to disk
  };

  /// An I/O failure that carries no operating-system error number.
  [[nodiscard]] static IbtError io(std::string message);
  /// An operating-system error (errno, or GetLastError() on Windows): "{description} (os error {code})".
  [[nodiscard]] static IbtError os(std::string description, int code);
  [[nodiscard]] static IbtError invalid_header(std::string message);
  [[nodiscard]] static IbtError arrow(std::string message);
  /// A defect or a deliberate stop, described by `message`.
  [[nodiscard]] static IbtError internal(std::string message);
  /// Bytes that are not an IBT file, shown as an InvalidHeader error.
  [[nodiscard]] static IbtError not_recording(std::string message);
  /// A live telemetry memory dump read where a disk recording is expected, shown as an
  /// InvalidHeader error.
  [[nodiscard]] static IbtError live_dump(std::string message);
  /// A read of [begin, end) outside an area of `length` bytes.
  [[nodiscard]] static IbtError out_of_range_read(unsigned long long begin, unsigned long long end,
                                                  unsigned long long length);

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  /// The message without the kind's prefix.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  /// The operating system's error number of an Io error from os(), or 0.
  [[nodiscard]] int os_code() const noexcept { return os_code_; }
  /// The kind's prefix followed by the message, as shown to the user.
  [[nodiscard]] std::string display() const;

private:
  IbtError(Kind kind, std::string message, int os_code = 0)
      : kind_(kind), message_(std::move(message)), os_code_(os_code) {}

  Kind kind_;
  std::string message_;
  int os_code_;
};

/// A value or the IbtError that prevented it; it cannot be built empty.
template <typename T>
class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::move(value)) {}
  Result(IbtError error) : state_(std::move(error)) {}

  [[nodiscard]] bool ok() const noexcept { return std::holds_alternative<T>(state_); }
  [[nodiscard]] T& value() & { return std::get<T>(state_); }
  [[nodiscard]] T&& value() && { return std::get<T>(std::move(state_)); }
  [[nodiscard]] const IbtError& error() const { return std::get<IbtError>(state_); }

private:
  std::variant<T, IbtError> state_;
};

/// Success without a value, or an IbtError.
using Status = Result<std::monostate>;
inline Status ok_status() { return Status(std::monostate{}); }

}  // namespace telvane
