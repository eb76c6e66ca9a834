// The owned-buffer form of a prepared write (PreparedRecord, PreparedAppend).
#pragma once

#include "record/constants.hpp"

namespace quillmark {

// A new buffer of exactly prepared.size() bytes, written by prepared.write().
template <class Prepared>
ByteBuffer write_to_buffer(const Prepared& prepared) {
  ByteBuffer out;
  out.resize(prepared.size());
  prepared.write(out.data());
  return out;
}

}  // namespace quillmark
