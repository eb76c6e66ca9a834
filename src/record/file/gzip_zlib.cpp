// The streaming inflater on zlib, which every build has.
#include <zlib.h>

#include <algorithm>
#include <new>

#include "record/file/gzip_inflater.hpp"

namespace quillmark::gzip {
namespace {

// zlib counts in uInt; larger pieces are handed over in turns.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

class ZlibInflater final : public StreamingInflater {
 public:
  ZlibInflater() {
    // 16 + 15: a gzip wrapper and the largest window.
    if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~ZlibInflater() override { inflateEnd(&stream_); }
  ZlibInflater(const ZlibInflater&) = delete;
  ZlibInflater& operator=(const ZlibInflater&) = delete;

  void begin_member() override { inflateReset(&stream_); }

  InflateStep inflate(std::string_view in, char* out, std::size_t room) override {
    const auto in_given = static_cast<uInt>(std::min(in.size(), kMaxPiece));
    const auto out_given = static_cast<uInt>(std::min(room, kMaxPiece));
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream_.avail_in = in_given;
    stream_.next_out = reinterpret_cast<Bytef*>(out);
    stream_.avail_out = out_given;
    const int status = ::inflate(&stream_, Z_NO_FLUSH);
    InflateStep step;
    step.consumed = in_given - stream_.avail_in;
    step.produced = out_given - stream_.avail_out;
    switch (status) {
      case Z_STREAM_END:
        step.status = InflateStep::Status::MemberEnd;
        break;
      case Z_OK:
      case Z_BUF_ERROR:  // no progress was possible: out of input or of room
        step.status = stream_.avail_out == 0 ? InflateStep::Status::OutputFull
                                             : InflateStep::Status::NeedInput;
        break;
      case Z_MEM_ERROR:
        throw std::bad_alloc();
      default:  // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
        step.status = InflateStep::Status::Corrupt;
        step.detail = stream_.msg != nullptr ? stream_.msg : "invalid deflate data";
        break;
    }
    return step;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::unique_ptr<StreamingInflater> make_zlib_inflater() {
  return std::make_unique<ZlibInflater>();
}

}  // namespace quillmark::gzip
