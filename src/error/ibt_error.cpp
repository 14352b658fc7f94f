#include "error/ibt_error.hpp"

#include <string>

namespace telvane {

IbtError IbtError::os(std::string description, int code) {
  return {Kind::Io, std::move(description) + " (os error " + std::to_string(code) + ")", code};
}

IbtError IbtError::io(std::string message) { return {Kind::Io, std::move(message)}; }

IbtError IbtError::invalid_header(std::string message) {
  return {Kind::InvalidHeader, std::move(message)};
}

IbtError IbtError::arrow(std::string message) { return {Kind::Arrow, std::move(message)}; }

IbtError IbtError::internal(std::string message) { return {Kind::Internal, std::move(message)}; }

IbtError IbtError::not_recording(std::string message) { return {Kind::NotRecording, std::move(message)}; }

IbtError IbtError::live_dump(std::string message) { return {Kind::LiveDump, std::move(message)}; }

IbtError IbtError::out_of_range_read(unsigned long long begin, unsigned long long end,
                                     unsigned long long length) {
  return {Kind::OutOfRange, "Read of bytes " + std::to_string(begin) + ".." + std::to_string(end) +
                              " outside the record area of " + std::to_string(length) + " bytes"};
}

std::string IbtError::display() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + message_;
    case Kind::InvalidHeader:
    case Kind::NotRecording:
    case Kind::LiveDump: return "Invalid header: " + message_;
    case Kind::Arrow: return "Arrow error: " + message_;
    case Kind::Internal:
    case Kind::OutOfRange: return message_;
  }
  return message_;
}

}  // namespace telvane
