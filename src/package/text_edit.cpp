#include "package/text_edit.hpp"

namespace quillmark::package {

Result<std::string> edit_text(std::string_view text, std::span<const TextEdit> edits) {
  std::size_t size = text.size();
  std::size_t kept = 0;  // the end of the last span
  for (const TextEdit& edit : edits) {
    if (edit.span.begin < kept || edit.span.end < edit.span.begin) {
      return Error::package_text("edits overlap at byte " + std::to_string(edit.span.begin),
                                 edit.span.begin);
    }
    if (edit.span.end > text.size()) {
      return Error::package_text(
          "edit past the end of the text at byte " + std::to_string(edit.span.end), edit.span.end);
    }
    size = size - edit.span.size() + edit.replacement.size();
    kept = edit.span.end;
  }
  std::string edited;
  edited.reserve(size);
  kept = 0;
  for (const TextEdit& edit : edits) {
    edited.append(text.substr(kept, edit.span.begin - kept));
    edited += edit.replacement;
    kept = edit.span.end;
  }
  edited.append(text.substr(kept));
  return edited;
}

}  // namespace quillmark::package
