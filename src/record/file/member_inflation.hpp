// The gzip members of a scan, one at a time, inflated whole into a buffer
// where the member fits it (the fastest way for the small members crawlers
// write), else in pieces; and the verdict on a member that cannot be
// inflated, the same whichever inflater (gzip_inflater.hpp) met it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "error/error.hpp"
#include "record/file/gzip_inflater.hpp"

namespace quillmark {

class MemberInflation {
 public:
  // With `inflater`, which must be built (nullopt: the fastest), and at first
  // `whole_room` to inflate a whole member into (0: the default). Throws
  // std::bad_alloc.
  MemberInflation(std::optional<gzip::Inflater> inflater, std::size_t whole_room);

  enum class Start {
    Whole,      // inflated: `used` bytes of the input, `output` what they hold
    MoreInput,  // the attempt failed, perhaps only because `in` was cut short
    Again,      // the member needs more room, which it now has
    Pieces,     // the member is begun, to be inflated piece by piece
  };
  // Starts the member that `in` begins with; `can_widen` tells whether the
  // input could show more of it.
  Start start(std::string_view in, bool can_widen, std::size_t& used, std::string_view& output);
  // The next piece of a member begun in pieces; its output is output(step).
  gzip::InflateStep inflate(std::string_view in);
  std::string_view output(const gzip::InflateStep& step) const noexcept {
    return {output_.get(), step.produced};
  }
  // Why the member begun at file position `at` cannot be inflated: it is
  // `corrupt` (the inflater's reason) or the input ends inside it. `rest`:
  // the member from its start to the end of the input, where it is at hand.
  Error failure(std::size_t at, std::optional<std::string_view> corrupt,
                std::optional<std::string_view> rest);

  // The room a whole member is inflated into: more once a member needed more.
  std::size_t whole_room() const noexcept { return room_; }
  // Frees the output buffer until the next member.
  void release() noexcept { output_.reset(); }

 private:
  char* output_buffer();

  // `whole` only for libdeflate, whose members that do not fit go to
  // `streaming`, the fastest streaming library built; `checked` (zlib) takes
  // the members whose header has flags not every library treats alike.
  std::unique_ptr<gzip::WholeMemberInflater> whole_;
  std::unique_ptr<gzip::StreamingInflater> streaming_;
  std::unique_ptr<gzip::StreamingInflater> checked_;
  gzip::StreamingInflater* pieces_ = nullptr;  // of the member begun in pieces
  std::unique_ptr<char[]> output_;
  std::size_t room_;
};

}  // namespace quillmark
