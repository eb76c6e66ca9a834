// The sink of a check: the body of the last manifest record, the manifest
// store, is kept; every other body is passed over.
#pragma once

#include <optional>
#include <string>

#include "record/file/scan_sink.hpp"

namespace quillmark {

class ManifestKeeper final : public ScanSink {
 public:
  bool wants_body(const RecordStart& record) const override { return record.manifest; }
  bool wants_blocks() const override { return false; }
  Status record_begin(const RecordStart& record) override {
    reading_ = record.manifest;
    if (reading_) body_.clear();
    return Ok{};
  }
  Status record_body(std::string_view piece) override {
    body_.append(piece);
    return Ok{};
  }
  Status record_end(std::size_t, std::size_t, std::string_view) override {
    if (reading_) {
      manifest_ = std::move(body_);
      body_ = {};
      reading_ = false;
    }
    return Ok{};
  }

  // The manifest store once the scan is done; nullopt when there is none.
  std::optional<std::string>& manifest() noexcept { return manifest_; }

 private:
  bool reading_ = false;
  std::string body_;
  std::optional<std::string> manifest_;
};

}  // namespace quillmark
