// How the gzip members of a file line up with its records.
//
// Crawlers write one gzip member per record, and indexes point at members, so
// what a member holds matters: a member can be copied into a new archive
// unchanged only if every record it touches is kept whole. Members are
// joined into groups: a group ends at the end of a member where no record is
// left open, so that no record spans two groups. A group that holds no
// manifest record can be copied as it is; one that holds only manifest
// records can be left out; any other must be written anew.
//
// One subtlety: at a member's end, a record whose body has ended may still be
// open because its separator is not yet decided (it may continue into the next
// member). Then the group ends, at that member, only once the record turns
// out to end inside it.
#pragma once

#include <cstddef>
#include <optional>

namespace quillmark {

struct MemberGroup {
  std::size_t compressed_start = 0;  // file positions of the members
  std::size_t compressed_end = 0;
  std::size_t start = 0;  // positions in the uncompressed archive
  std::size_t end = 0;
  std::size_t members = 0;
  std::size_t records = 0;    // records that begin in the group
  std::size_t manifests = 0;  // of which manifest records

  // One member holding exactly one whole record: the layout crawlers write.
  bool is_one_record() const noexcept { return members == 1 && records == 1; }
};

class MemberGroups {
 public:
  // The group ends at the group's first member's start; `start` positions.
  explicit MemberGroups(std::size_t compressed_start = 0, std::size_t start = 0) noexcept {
    open_.compressed_start = open_.compressed_end = compressed_start;
    open_.start = open_.end = start;
  }

  // A record's header was framed in the current member.
  void record_begin(bool manifest) noexcept {
    ++open_.records;
    if (manifest) ++open_.manifests;
  }

  // A record is complete; returns the group this closes, if any.
  std::optional<MemberGroup> record_end(std::size_t offset, std::size_t length) noexcept {
    if (!awaited_record_ || *awaited_record_ != offset) return std::nullopt;
    awaited_record_.reset();
    // Its separator was decided by what followed the member: if the record
    // ends inside the member, the member ended clean after all.
    if (offset + length <= awaited_member_end_) return close();
    return std::nullopt;
  }

  // A member ended at those positions; `open_record` is the offset of the
  // record the framer holds open there, if any. Returns the group this
  // closes, if any.
  std::optional<MemberGroup> member_end(std::size_t compressed_end, std::size_t end,
                                        std::optional<std::size_t> open_record) noexcept {
    open_.compressed_end = compressed_end;
    open_.end = end;
    ++open_.members;
    if (!open_record) return close();
    awaited_record_ = open_record;
    awaited_member_end_ = end;
    return std::nullopt;
  }

  // The end of the data: the group still open, if it has members.
  std::optional<MemberGroup> finish() noexcept {
    return open_.members == 0 ? std::nullopt : close();
  }

  // Moves the archive positions held on by `by` (see StreamFramer::shift).
  void shift(std::size_t by) noexcept {
    open_.start += by;
    open_.end += by;
    if (awaited_record_) *awaited_record_ += by;
    awaited_member_end_ += by;
  }

  // Whether every group so far held one member with one record.
  bool one_record_each() const noexcept { return one_record_each_; }

 private:
  std::optional<MemberGroup> close() noexcept {
    MemberGroup closed = open_;
    one_record_each_ = one_record_each_ && closed.is_one_record();
    open_ = MemberGroup{};
    open_.compressed_start = open_.compressed_end = closed.compressed_end;
    open_.start = open_.end = closed.end;
    return closed;
  }

  MemberGroup open_;
  // The record left open at the end of the last member, and that member's end.
  std::optional<std::size_t> awaited_record_;
  std::size_t awaited_member_end_ = 0;
  bool one_record_each_ = true;
};

}  // namespace quillmark
