// Writing gzip members: the new manifest record's, and those of records that
// must be compressed anew (plain input written as .warc.gz, or records that
// shared a member with a removed manifest record). ISA-L where the build has
// it (several times faster), else zlib at its default level.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quillmark::gzip {

class Deflater {
 public:
  virtual ~Deflater() = default;
  virtual void begin_member() = 0;
  // Compresses `data`, appending what is ready to `out`.
  virtual void add(std::string_view data, std::string& out) = 0;
  // Ends the member: appends the rest and the gzip trailer to `out`.
  virtual void end_member(std::string& out) = 0;
  virtual std::string_view library() const noexcept = 0;
};

// Throws std::bad_alloc.
std::unique_ptr<Deflater> make_deflater();

}  // namespace quillmark::gzip
