// Inflating the gzip members of a .warc.gz, one member at a time. Crawlers
// write one gzip member per record, so a file holds hundreds of thousands of
// small members, and now and then a large one. Two kinds of inflater serve
// them: a whole-member inflater (libdeflate) for a member that lies whole in
// the caller's input and fits its output, the fastest on small members since
// it keeps no state between calls; and a streaming inflater (ISA-L, or zlib,
// which is always there) for members of any size, in pieces, and for telling
// exactly why a member fails. Which libraries exist is settled when the
// extension is built (see CMakeLists.txt); member_inflation.hpp chooses.
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

inline std::string_view inflater_name(Inflater inflater) noexcept {
  constexpr std::string_view kNames[] = {"libdeflate", "isal", "zlib"};
  return kNames[static_cast<int>(inflater)];
}

// The inflaters this build has, fastest first; zlib always comes last.
inline std::vector<Inflater> built_inflaters() {
  std::vector<Inflater> built;
#if QUILLMARK_WITH_LIBDEFLATE
  built.push_back(Inflater::Libdeflate);
#endif
#if QUILLMARK_WITH_ISAL
  built.push_back(Inflater::Isal);
#endif
  built.push_back(Inflater::Zlib);
  return built;
}

inline std::optional<Inflater> inflater_named(std::string_view name) noexcept {
  for (Inflater inflater : built_inflaters()) {
    if (inflater_name(inflater) == name) return inflater;
  }
  return std::nullopt;
}

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

// Each library's, in a file of its own: only those built are defined. They
// throw std::bad_alloc when the library cannot get its state.
std::unique_ptr<StreamingInflater> make_zlib_inflater();
std::unique_ptr<StreamingInflater> make_isal_inflater();
std::unique_ptr<WholeMemberInflater> make_libdeflate_inflater();

}  // namespace quillmark::gzip
