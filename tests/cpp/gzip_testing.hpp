// Gzip files for the tests of the pass over files: members written by zlib,
// read back by zlib, and inputs held in memory or on disk.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "record/file/input.hpp"

namespace quillmark::testing {

// An input held in memory that hands out at most `step` bytes per read.
class MemoryInput final : public Input {
 public:
  MemoryInput(std::string data, std::size_t step) : data_(std::move(data)), step_(step) {}
  Result<std::size_t> read(char* out, std::size_t size) override {
    const std::size_t n = std::min({size, step_, data_.size() - position_});
    data_.copy(out, n, position_);
    position_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t step_;
  std::size_t position_ = 0;
};

inline std::string gzip_member(std::string_view data, int level) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

inline std::string zlib_inflate(std::string_view member) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 16 + MAX_WBITS), Z_OK);
  std::string out;
  char buffer[1 << 16];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
  stream.avail_in = static_cast<uInt>(member.size());
  int status;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  } while (status == Z_OK);
  EXPECT_EQ(status, Z_STREAM_END);
  EXPECT_EQ(stream.avail_in, 0u);
  inflateEnd(&stream);
  return out;
}

// A file on disk holding `data`, removed with the object.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& data) : file_(std::tmpfile()) {
    EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), file_), data.size());
    std::fflush(file_);
  }
  ~TemporaryFile() { std::fclose(file_); }
  int fd() const { return fileno(file_); }

 private:
  std::FILE* file_;
};

}  // namespace quillmark::testing
