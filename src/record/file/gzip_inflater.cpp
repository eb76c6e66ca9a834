#include "record/file/gzip_inflater.hpp"

namespace quillmark::gzip {

std::string_view inflater_name(Inflater inflater) noexcept {
  constexpr std::string_view kNames[] = {"libdeflate", "isal", "zlib"};
  return kNames[static_cast<int>(inflater)];
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
  const Inflater chosen = inflater.value_or(built_inflaters().front());
  MemberInflaters made;
#if QUILLMARK_WITH_LIBDEFLATE
  if (chosen == Inflater::Libdeflate) made.whole = make_libdeflate_inflater();
#endif
  made.streaming = chosen == Inflater::Zlib ? make_zlib_inflater() : fastest_streaming();
  made.checked = make_zlib_inflater();
  return made;
}

}  // namespace quillmark::gzip
