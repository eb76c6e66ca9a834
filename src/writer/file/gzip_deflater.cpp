#include "writer/file/gzip_deflater.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <new>

#if QUILLMARK_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace quillmark::gzip {
namespace {

constexpr std::size_t kStep = std::size_t{64} << 10;  // output made per call
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

class ZlibDeflater final : public Deflater {
 public:
  ZlibDeflater() {
    if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~ZlibDeflater() override { deflateEnd(&stream_); }
  ZlibDeflater(const ZlibDeflater&) = delete;
  ZlibDeflater& operator=(const ZlibDeflater&) = delete;

  void begin_member() override { deflateReset(&stream_); }
  void add(std::string_view data, std::string& out) override { run(data, Z_NO_FLUSH, out); }
  void end_member(std::string& out) override { run({}, Z_FINISH, out); }
  std::string_view library() const noexcept override { return "zlib"; }

 private:
  void run(std::string_view data, int flush, std::string& out) {
    do {
      const std::size_t piece = std::min(data.size(), kMaxPiece);
      stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
      stream_.avail_in = static_cast<uInt>(piece);
      const int last = piece == data.size() ? flush : Z_NO_FLUSH;
      int status;
      do {
        const std::size_t before = out.size();
        out.resize(before + kStep);
        stream_.next_out = reinterpret_cast<Bytef*>(out.data() + before);
        stream_.avail_out = static_cast<uInt>(kStep);
        status = deflate(&stream_, last);
        out.resize(before + kStep - stream_.avail_out);
      } while (stream_.avail_out == 0 || (last == Z_FINISH && status != Z_STREAM_END));
      data.remove_prefix(piece);
    } while (!data.empty());
  }

  z_stream stream_{};
};

#if QUILLMARK_WITH_ISAL
class IsalDeflater final : public Deflater {
 public:
  // Level 2 of ISA-L's 0 to 3: its own default, and python-isal's.
  IsalDeflater() : level_buffer_(new std::uint8_t[ISAL_DEF_LVL2_DEFAULT]) {
    isal_deflate_init(&stream_);
  }

  void begin_member() override {
    isal_deflate_reset(&stream_);
    stream_.level = 2;
    stream_.level_buf = level_buffer_.get();
    stream_.level_buf_size = ISAL_DEF_LVL2_DEFAULT;
    stream_.gzip_flag = IGZIP_GZIP;
    stream_.end_of_stream = 0;
  }
  void add(std::string_view data, std::string& out) override { run(data, false, out); }
  void end_member(std::string& out) override { run({}, true, out); }
  std::string_view library() const noexcept override { return "isal"; }

 private:
  void run(std::string_view data, bool last, std::string& out) {
    do {
      const std::size_t piece = std::min(data.size(), kMaxPiece);
      stream_.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data.data()));
      stream_.avail_in = static_cast<std::uint32_t>(piece);
      stream_.end_of_stream = last && piece == data.size() ? 1 : 0;
      do {
        const std::size_t before = out.size();
        out.resize(before + kStep);
        stream_.next_out = reinterpret_cast<std::uint8_t*>(out.data() + before);
        stream_.avail_out = static_cast<std::uint32_t>(kStep);
        if (isal_deflate(&stream_) != COMP_OK) throw std::bad_alloc();  // only misuse fails
        out.resize(before + kStep - stream_.avail_out);
      } while (stream_.avail_in > 0 || stream_.avail_out == 0 ||
               (stream_.end_of_stream && stream_.internal_state.state != ZSTATE_END));
      data.remove_prefix(piece);
    } while (!data.empty());
  }

  isal_zstream stream_{};
  std::unique_ptr<std::uint8_t[]> level_buffer_;
};
#endif

}  // namespace

std::unique_ptr<Deflater> make_deflater() {
#if QUILLMARK_WITH_ISAL
  return std::make_unique<IsalDeflater>();
#else
  return std::make_unique<ZlibDeflater>();
#endif
}

}  // namespace quillmark::gzip
