#include "record/file/member_inflation.hpp"

#include <algorithm>
#include <string>

#include "record/file/gzip_header.hpp"

namespace quillmark {
namespace {

// A member is inflated whole when its output fits in the output buffer,
// which starts at kWholeOutput and grows to kWholeOutputMost the first time
// a member needs more: an attempt that runs out of room is wasted, so a
// buffer that fits the file's large members pays. Larger members are
// inflated in pieces of kPiece, after one wasted attempt.
constexpr std::size_t kWholeOutput = std::size_t{4} << 20;
constexpr std::size_t kWholeOutputMost = std::size_t{32} << 20;
constexpr std::size_t kPiece = std::size_t{256} << 10;

}  // namespace

MemberInflation::MemberInflation(std::optional<gzip::Inflater> inflater, std::size_t whole_room)
    : inflaters_(gzip::make_member_inflaters(inflater)),
      room_(std::clamp(whole_room, kWholeOutput, kWholeOutputMost)) {}

char* MemberInflation::output_buffer() {
  if (!output_) output_.reset(new char[room_]);
  return output_.get();
}

MemberInflation::Start MemberInflation::start(std::string_view in, bool can_widen,
                                              std::size_t& used, std::string_view& output) {
  const bool checked = gzip::needs_checked_inflater(in);
  if (inflaters_.whole && !checked) {
    std::size_t made = 0;
    switch (inflaters_.whole->inflate(in, output_buffer(), room_, used, made)) {
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
  pieces_ = checked ? inflaters_.checked.get() : inflaters_.streaming.get();
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
  gzip::StreamingInflater& zlib = *inflaters_.checked;
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
