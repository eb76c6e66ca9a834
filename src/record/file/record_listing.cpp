#include "record/file/record_listing.hpp"

#include <algorithm>

namespace quillmark {

void RecordListing::release_held(std::optional<std::size_t> following) {
  if (!held_) return;
  if (held_->gzip_offset && following) {
    if (std::optional<std::size_t> stop = boundary_at(*following)) {
      held_->gzip_length = *stop - *held_->gzip_offset;
    }
  }
  ready_.push_back(*held_);
  held_.reset();
}

Status RecordListing::record_begin(const RecordStart& record) {
  release_held(record.offset);
  current_ = ListedRecord{};
  current_.offset = record.offset;
  current_.body_size = record.body_size;
  current_.manifest = record.manifest;
  current_.gzip_offset = boundary_at(record.offset);
  current_.text_at = texts_.size();
  current_.block_size = record.block.size();
  current_.has_body = bodies_;
  current_.field_at = fields_.size();
  current_.field_count = record.fields.size();
  fields_.insert(fields_.end(), record.fields.begin(), record.fields.end());
  texts_.append(record.block);
  in_record_ = true;
  return Ok{};
}

Status RecordListing::record_end(std::size_t, std::size_t length, std::string_view) {
  current_.length = length;
  in_record_ = false;
  if (compressed_) {
    held_ = current_;
  } else {
    ready_.push_back(current_);
  }
  return Ok{};
}

Status RecordListing::member_end(const MemberSpan& member, std::optional<std::size_t> open_record) {
  // A header that goes on into the next member: the record it begins has
  // not been listed yet and may start at the boundary kept, which stays.
  const bool header_open = open_record && !(in_record_ && current_.offset == *open_record);
  if (header_open) return Ok{};
  if (member.end != boundary_.at) boundary_ = Boundary{member.end, member.compressed_end};
  return Ok{};
}

void RecordListing::take() {
  ready_.clear();
  std::size_t keep_fields_from = fields_.size();
  if (in_record_) keep_fields_from = current_.field_at;
  if (held_) keep_fields_from = held_->field_at;
  fields_.erase(fields_.begin(), fields_.begin() + static_cast<std::ptrdiff_t>(keep_fields_from));
  if (held_) held_->field_at -= keep_fields_from;
  if (in_record_) current_.field_at -= keep_fields_from;
  // What is still needed (the held record, then the one begun) lies at the
  // end of the texts; everything before it belonged to records taken.
  std::size_t keep_from = texts_.size();
  if (in_record_) keep_from = current_.text_at;
  if (held_) keep_from = held_->text_at;
  // A large body still being read is not moved batch after batch: what was
  // taken goes only once it is at least as large as what stays.
  if (texts_.size() - keep_from > keep_from) return;
  texts_.erase(0, keep_from);
  if (held_) held_->text_at -= keep_from;
  if (in_record_) current_.text_at -= keep_from;
}

void RecordListing::finish(bool complete) {
  if (complete) {
    release_held(boundary_.at);
  } else if (held_) {
    ready_.push_back(*held_);
    held_.reset();
  }
}

}  // namespace quillmark
