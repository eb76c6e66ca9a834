#include "record/file/member_groups.hpp"

namespace quillmark {

std::optional<MemberGroup> MemberGroups::close() noexcept {
  MemberGroup closed = open_;
  one_record_each_ = one_record_each_ && closed.is_one_record();
  open_ = MemberGroup{};
  open_.compressed_start = open_.compressed_end = closed.compressed_end;
  open_.start = open_.end = closed.end;
  return closed;
}

std::optional<MemberGroup> MemberGroups::record_end(std::size_t offset,
                                                    std::size_t length) noexcept {
  if (!awaited_record_ || *awaited_record_ != offset) return std::nullopt;
  awaited_record_.reset();
  // Its separator was decided by what followed the member: if the record
  // ends inside the member, the member ended clean after all.
  if (offset + length <= awaited_member_end_) return close();
  return std::nullopt;
}

std::optional<MemberGroup> MemberGroups::member_end(
    std::size_t compressed_end, std::size_t end, std::optional<std::size_t> open_record) noexcept {
  open_.compressed_end = compressed_end;
  open_.end = end;
  ++open_.members;
  if (!open_record) return close();
  awaited_record_ = open_record;
  awaited_member_end_ = end;
  return std::nullopt;
}

std::optional<MemberGroup> MemberGroups::finish() noexcept {
  if (open_.members == 0) return std::nullopt;
  return close();
}

}  // namespace quillmark
