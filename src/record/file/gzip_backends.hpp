// The inflaters of each library, for gzip_inflater.cpp to choose from. Only
// those of the libraries found when the extension was built are defined.
#pragma once

#include <memory>

#include "record/file/gzip_inflater.hpp"

namespace quillmark::gzip {

std::unique_ptr<StreamingInflater> make_zlib_inflater();
#if QUILLMARK_WITH_ISAL
std::unique_ptr<StreamingInflater> make_isal_inflater();
#endif
#if QUILLMARK_WITH_LIBDEFLATE
std::unique_ptr<WholeMemberInflater> make_libdeflate_inflater();
#endif

}  // namespace quillmark::gzip
