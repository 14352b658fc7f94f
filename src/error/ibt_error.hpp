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
    Internal,       ///< a read the reader's validation should have ruled out: a defect
  };

  /// An I/O failure; an operating-system error reads "{description} (os error {code})".
  [[nodiscard]] static IbtError io(std::string message);
  [[nodiscard]] static IbtError invalid_header(std::string message);
  [[nodiscard]] static IbtError arrow(std::string message);
  /// A read of [begin, end) outside an area of `length` bytes.
  [[nodiscard]] static IbtError out_of_range_read(unsigned long long begin, unsigned long long end,
                                                  unsigned long long length);

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  /// The message without the kind's prefix.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  /// The kind's prefix followed by the message, as shown to the user.
  [[nodiscard]] std::string display() const;

private:
  IbtError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
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
