#include "record/file/gzip_inflater.hpp"

#include "record/file/gzip_backends.hpp"

namespace quillmark::gzip {

std::string_view inflater_name(Inflater inflater) noexcept {
  switch (inflater) {
    case Inflater::Libdeflate:
      return "libdeflate";
    case Inflater::Isal:
      return "isal";
    case Inflater::Zlib:
      return "zlib";
  }
  return "zlib";
}

std::optional<Inflater> inflater_named(std::string_view name) noexcept {
  for (Inflater inflater : built_inflaters()) {
    if (inflater_name(inflater) == name) return inflater;
  }
  return std::nullopt;
}

std::vector<Inflater> built_inflaters() {
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

namespace {

std::unique_ptr<StreamingInflater> fastest_streaming() {
#if QUILLMARK_WITH_ISAL
  return make_isal_inflater();
#else
  return make_zlib_inflater();
#endif
}

}  // namespace

MemberInflaters make_member_inflaters(std::optional<Inflater> inflater) {
  MemberInflaters made;
  made.inflater = inflater.value_or(built_inflaters().front());
  switch (made.inflater) {
    case Inflater::Libdeflate:
#if QUILLMARK_WITH_LIBDEFLATE
      made.whole = make_libdeflate_inflater();
#endif
      made.streaming = fastest_streaming();
      break;
    case Inflater::Isal:
      made.streaming = fastest_streaming();
      break;
    case Inflater::Zlib:
      made.streaming = make_zlib_inflater();
      break;
  }
  made.checked = make_zlib_inflater();
  return made;
}

}  // namespace quillmark::gzip
