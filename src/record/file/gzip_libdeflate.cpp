// The whole-member inflater on libdeflate.
#include <libdeflate.h>

#include <new>

#include "record/file/gzip_inflater.hpp"

namespace quillmark::gzip {
namespace {

class LibdeflateInflater final : public WholeMemberInflater {
 public:
  LibdeflateInflater() : decompressor_(libdeflate_alloc_decompressor()) {
    if (decompressor_ == nullptr) throw std::bad_alloc();
  }
  ~LibdeflateInflater() override { libdeflate_free_decompressor(decompressor_); }
  LibdeflateInflater(const LibdeflateInflater&) = delete;
  LibdeflateInflater& operator=(const LibdeflateInflater&) = delete;

  Outcome inflate(std::string_view in, char* out, std::size_t room, std::size_t& consumed,
                  std::size_t& produced) override {
    // Stops at the end of the first member; checks its CRC-32 and length.
    switch (libdeflate_gzip_decompress_ex(decompressor_, in.data(), in.size(), out, room, &consumed,
                                          &produced)) {
      case LIBDEFLATE_SUCCESS:
        return Outcome::Done;
      case LIBDEFLATE_INSUFFICIENT_SPACE:
        return Outcome::NoRoom;
      default:
        return Outcome::Failed;
    }
  }

 private:
  libdeflate_decompressor* decompressor_;
};

}  // namespace

std::unique_ptr<WholeMemberInflater> make_libdeflate_inflater() {
  return std::make_unique<LibdeflateInflater>();
}

}  // namespace quillmark::gzip
