// The interpreter lock let go for native work, and taken back for moments of
// it that must call Python (reading from a stream object of the caller's).
#pragma once

#include "python/owned_ref.hpp"

namespace quillmark::python {

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Holds the lock for the life of the returned object.
  class Held {
   public:
    explicit Held(GilRelease& release) noexcept : release_(release) {
      PyEval_RestoreThread(release_.state_);
      release_.state_ = nullptr;
    }
    ~Held() { release_.state_ = PyEval_SaveThread(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    GilRelease& release_;
  };

 private:
  PyThreadState* state_;
};

}  // namespace quillmark::python
