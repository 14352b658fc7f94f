#pragma once

// How the C++ benchmark programs stop on a failure: its text on stderr after the program's
// name, and exit status 1.

#include <cerrno>  // program_invocation_short_name
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "error/ibt_error.hpp"

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::exit(1);
}

/// The value of `result`, or the failure it holds.
template <typename T>
T take(telvane::Result<T> result) {
  if (!result.ok()) fail(result.error().display());
  return std::move(result).value();
}
