#include "record/file/member_inflation.hpp"

#include <algorithm>
#include <string>

#include "record/file/gzip_header.hpp"

namespace quillmark {
namespace {

// A member is inflated whole when its output fits the buffer, of kWholeOutput
// at first and kWholeOutputMost once a member needed more (an attempt that
// runs out of room is wasted, so room for the file's large members pays).
// Larger members are inflated in pieces of kPiece.
constexpr std::size_t kWholeOutput = std::size_t{4} << 20;
constexpr std::size_t kWholeOutputMost = std::size_t{32} << 20;
constexpr std::size_t kPiece = std::size_t{256} << 10;

}  // namespace

MemberInflation::MemberInflation(std::optional<gzip::Inflater> inflater, std::size_t whole_room)
    : checked_(gzip::make_zlib_inflater()),
      room_(std::clamp(whole_room, kWholeOutput, kWholeOutputMost)) {
  const gzip::Inflater chosen = inflater.value_or(gzip::built_inflaters().front());
#if QUILLMARK_WITH_LIBDEFLATE
  if (chosen == gzip::Inflater::Libdeflate) whole_ = gzip::make_libdeflate_inflater();
#endif
#if QUILLMARK_WITH_ISAL
  if (chosen != gzip::Inflater::Zlib) streaming_ = gzip::make_isal_inflater();
#endif
  if (!streaming_) streaming_ = gzip::make_zlib_inflater();
}

char* MemberInflation::output_buffer() {
  if (!output_) output_.reset(new char[room_]);
  return output_.get();
}

MemberInflation::Start MemberInflation::start(std::string_view in, bool can_widen,
                                              std::size_t& used, std::string_view& output) {
  const bool checked = gzip::needs_checked_inflater(in);
  if (whole_ && !checked) {
    std::size_t made = 0;
    switch (whole_->inflate(in, output_buffer(), room_, used, made)) {
      case gzip::WholeMemberInflater::Outcome::Done:
        output = std::string_view(output_.get(), made);
        return Start::Whole;
      case gzip::WholeMemberInflater::Outcome::Failed:
        if (can_widen) return Start::MoreInput;
        break;
      case gzip::WholeMemberInflater::Outcome::NoRoom:
        if (room_ < kWholeOutputMost) {
          room_ = kWholeOutputMost;
          output_.reset(new char[room_]);
          return Start::Again;
        }
        break;
    }
  }
  pieces_ = checked ? checked_.get() : streaming_.get();
  pieces_->begin_member();
  return Start::Pieces;
}

gzip::InflateStep MemberInflation::inflate(std::string_view in) {
  return pieces_->inflate(in, output_buffer(), kPiece);
}

// Where a member is both corrupt and cut short, the libraries do not all say
// the same: ISA-L checks a trailer, and the header of a block, only once it
// has the whole of it, and refuses the lengths of a stored block from the
// first bytes that disagree, where zlib waits for all four. zlib's word is
// given: it reads the member again from its start, where that is at hand.
Error MemberInflation::failure(std::size_t at, std::optional<std::string_view> corrupt,
                               std::optional<std::string_view> rest) {
  gzip::StreamingInflater& zlib = *checked_;
  if (pieces_ != &zlib && rest) {
    zlib.begin_member();
    gzip::InflateStep step;
    do {
      step = zlib.inflate(*rest, output_buffer(), kPiece);
      rest->remove_prefix(step.consumed);
    } while (step.status == gzip::InflateStep::Status::OutputFull);
    // A member that zlib reads whole keeps the word of the library.
    if (step.status == gzip::InflateStep::Status::Corrupt) corrupt = step.detail;
    if (step.status == gzip::InflateStep::Status::NeedInput) corrupt.reset();
  }
  const std::string member = "gzip member at byte " + std::to_string(at);
  if (!corrupt) return Error::gzip(member + " is truncated", at);
  return Error::gzip(member + " is corrupt (" + std::string(*corrupt) + ")", at);
}

}  // namespace quillmark
