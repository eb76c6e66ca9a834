// The streaming inflater on ISA-L (igzip).
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "record/file/gzip_inflater.hpp"

namespace quillmark::gzip {
namespace {

constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

std::string_view describe(int status) noexcept {
  constexpr std::pair<int, std::string_view> kReasons[] = {
      {ISAL_INVALID_BLOCK, "invalid deflate block"},
      {ISAL_INVALID_SYMBOL, "invalid deflate symbol"},
      {ISAL_INVALID_LOOKBACK, "invalid distance too far back"},
      {ISAL_INVALID_WRAPPER, "invalid gzip header"},
      {ISAL_UNSUPPORTED_METHOD, "unknown compression method"},
      {ISAL_INCORRECT_CHECKSUM, "incorrect data check"},
  };
  for (const auto& [code, reason] : kReasons) {
    if (code == status) return reason;
  }
  return "invalid deflate data";
}

class IsalInflater final : public StreamingInflater {
 public:
  // The state holds the decoding tables and the history window (some 40 KiB).
  IsalInflater() : state_(new inflate_state) { isal_inflate_init(state_.get()); }

  void begin_member() override {
    isal_inflate_reset(state_.get());
    state_->crc_flag = ISAL_GZIP;  // parse the gzip header, check the trailer
  }

  InflateStep inflate(std::string_view in, char* out, std::size_t room) override {
    inflate_state& state = *state_;
    const auto in_given = static_cast<std::uint32_t>(std::min(in.size(), kMaxPiece));
    const auto out_given = static_cast<std::uint32_t>(std::min(room, kMaxPiece));
    state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
    state.avail_in = in_given;
    state.next_out = reinterpret_cast<std::uint8_t*>(out);
    state.avail_out = out_given;
    const int status = isal_inflate(&state);
    InflateStep step;
    step.consumed = in_given - state.avail_in;
    step.produced = out_given - state.avail_out;
    if (status < 0) {
      step.status = InflateStep::Status::Corrupt;
      step.detail = describe(status);
    } else if (state.block_state == ISAL_BLOCK_FINISH) {
      step.status = InflateStep::Status::MemberEnd;
    } else if (state.avail_out == 0) {
      step.status = InflateStep::Status::OutputFull;
    } else {
      step.status = InflateStep::Status::NeedInput;
    }
    return step;
  }

 private:
  std::unique_ptr<inflate_state> state_;
};

}  // namespace

std::unique_ptr<StreamingInflater> make_isal_inflater() {
  return std::make_unique<IsalInflater>();
}

}  // namespace quillmark::gzip
