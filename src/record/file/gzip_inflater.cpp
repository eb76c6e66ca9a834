#include "record/file/gzip_inflater.hpp"

#include "record/file/gzip_backends.hpp"

namespace quillmark::gzip {

std::string_view library_name(Library library) noexcept {
  switch (library) {
    case Library::Libdeflate:
      return "libdeflate";
    case Library::Isal:
      return "isal";
    case Library::Zlib:
      return "zlib";
  }
  return "zlib";
}

std::optional<Library> library_named(std::string_view name) noexcept {
  for (Library library : built_libraries()) {
    if (library_name(library) == name) return library;
  }
  return std::nullopt;
}

std::vector<Library> built_libraries() {
  std::vector<Library> built;
#if QUILLMARK_WITH_LIBDEFLATE
  built.push_back(Library::Libdeflate);
#endif
#if QUILLMARK_WITH_ISAL
  built.push_back(Library::Isal);
#endif
  built.push_back(Library::Zlib);
  return built;
}

namespace {

std::unique_ptr<StreamingInflater> fastest_streaming() {
#if QUILLMARK_WITH_ISAL
  return make_isal_inflater();
#else
  return make_zlib_inflater();
#endif
}

}  // namespace

Inflaters make_inflaters(std::optional<Library> library) {
  Inflaters made;
  made.library = library.value_or(built_libraries().front());
  switch (made.library) {
    case Library::Libdeflate:
#if QUILLMARK_WITH_LIBDEFLATE
      made.whole = make_libdeflate_inflater();
#endif
      made.streaming = fastest_streaming();
      break;
    case Library::Isal:
      made.streaming = fastest_streaming();
      break;
    case Library::Zlib:
      made.streaming = make_zlib_inflater();
      break;
  }
  made.checked = make_zlib_inflater();
  return made;
}

}  // namespace quillmark::gzip
