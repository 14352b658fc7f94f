#pragma once

#include "py_ref.hpp"

namespace telvane::py {

/// Runs `work`, which touches no Python object, with the interpreter lock released, and takes
/// the lock back before returning its result or letting its exception through.
template <typename Work>
auto unlocked(Work&& work) {
  struct Relock {
    PyThreadState* state;
    ~Relock() { PyEval_RestoreThread(state); }
  } relock{PyEval_SaveThread()};
  return work();
}

}  // namespace telvane::py
