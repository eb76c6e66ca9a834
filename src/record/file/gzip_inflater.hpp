// Inflating the gzip members of a .warc.gz, one member at a time.
//
// Crawlers write one gzip member per record, so a file holds hundreds of
// thousands of small members, and now and then a large one. Two kinds of
// inflater serve them:
//  - a whole-member inflater (libdeflate) for a member that lies whole in the
//    caller's input and fits the caller's output: the fastest there is on small
//    members, since it keeps no state between calls;
//  - a streaming inflater (ISA-L, or zlib, which is always there) for members
//    of any size, in pieces, and for telling exactly why a member fails.
// Which libraries exist is settled when the extension is built (see
// CMakeLists.txt); `MemberInflaters` picks among those built.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::gzip {

// The choice of library a scan inflates with.
enum class Inflater { Libdeflate, Isal, Zlib };  // in inflater_name()'s order

// "libdeflate", "isal", "zlib".
std::string_view inflater_name(Inflater inflater) noexcept;
std::optional<Inflater> inflater_named(std::string_view name) noexcept;
// The inflaters this build has, fastest first; zlib always comes last.
std::vector<Inflater> built_inflaters();

// One call of a streaming inflater.
struct InflateStep {
  enum class Status {
    MemberEnd,   // the member's trailer has been read and checked
    NeedInput,   // every input byte was used; the member goes on
    OutputFull,  // no room left for output; call again with more
    Corrupt,     // the member cannot be inflated: `detail` says why
  };
  Status status = Status::NeedInput;
  std::size_t consumed = 0;  // input bytes used
  std::size_t produced = 0;  // output bytes written
  std::string_view detail;   // a static text, for Corrupt
};

class StreamingInflater {
 public:
  virtual ~StreamingInflater() = default;
  // Starts a new member: the next input begins with its gzip header.
  virtual void begin_member() = 0;
  // Inflates from `in` into `out` (room for `room` bytes). Returns at the
  // member's end, when the input is used up, or when the output is full.
  virtual InflateStep inflate(std::string_view in, char* out, std::size_t room) = 0;
};

// Whole members, or nothing: the output of a failed call is undefined.
class WholeMemberInflater {
 public:
  enum class Outcome {
    Done,    // `consumed` input bytes were the member, `produced` its output
    NoRoom,  // the member inflates to more than `room` bytes
    Failed,  // corrupt, or not whole in `in`: the streaming inflater tells which
  };
  virtual ~WholeMemberInflater() = default;
  virtual Outcome inflate(std::string_view in, char* out, std::size_t room, std::size_t& consumed,
                          std::size_t& produced) = 0;
};

// The inflaters of one choice. `whole` is set only for libdeflate; its
// members that do not fit go to `streaming`, the fastest streaming library
// built. `checked` (zlib) takes the rare members whose header has flags that
// the libraries do not all treat alike (see gzip_header.hpp).
struct MemberInflaters {
  std::unique_ptr<WholeMemberInflater> whole;
  std::unique_ptr<StreamingInflater> streaming;
  std::unique_ptr<StreamingInflater> checked;
};

// The inflaters for `inflater`, which must be built; nullopt picks the
// fastest. Throws std::bad_alloc when the libraries cannot get their state.
MemberInflaters make_member_inflaters(std::optional<Inflater> inflater = std::nullopt);

// Each library's, in a file of its own: only those built are defined.
std::unique_ptr<StreamingInflater> make_zlib_inflater();
std::unique_ptr<StreamingInflater> make_isal_inflater();
std::unique_ptr<WholeMemberInflater> make_libdeflate_inflater();

}  // namespace quillmark::gzip
