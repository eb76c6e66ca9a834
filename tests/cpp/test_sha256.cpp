// SHA-256: the published vectors on every kernel this processor can run, and
// the kernels against each other on random data fed in random pieces, where
// a copy of the state taken midway must give the digest of that prefix.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "digest/sha256.hpp"

namespace quillmark::digest {
namespace {

std::vector<Sha256Kernel> available_kernels() {
  std::vector<Sha256Kernel> kernels;
  for (Sha256Kernel kernel : {Sha256Kernel::Portable, Sha256Kernel::ShaExtensions}) {
    if (sha256_kernel_available(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

std::string digest_of(Sha256Kernel kernel, const std::string& data) {
  Sha256 state(kernel);
  state.update(data);
  return to_hex(state.finish());
}

TEST(Sha256, PublishedVectorsOnEveryKernel) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (Sha256Kernel kernel : available_kernels()) {
    for (const auto& [message, expected] : vectors) {
      EXPECT_EQ(digest_of(kernel, message), expected)
          << "kernel " << static_cast<int>(kernel) << ", " << message.size() << " bytes";
    }
  }
}

TEST(Sha256, TheMachineOfThisBuildUsesItsFastestKernel) {
#if defined(__x86_64__)
  EXPECT_EQ(sha256_best_kernel() == Sha256Kernel::ShaExtensions,
            sha256_kernel_available(Sha256Kernel::ShaExtensions));
#endif
  EXPECT_EQ(to_hex(sha256("abc")), digest_of(sha256_best_kernel(), "abc"));
}

// Feeds `data` to a state of `kernel` in random pieces; after each piece, a
// copy of the state must give the one-shot digest of the prefix so far (of
// the portable kernel, so the kernels are compared at every step).
void check_pieces(Sha256Kernel kernel, const std::string& data, std::mt19937_64& random) {
  Sha256 state(kernel);
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t largest = data.size() - at;
    std::size_t piece = random() % 3 == 0 ? random() % 4 : random() % 200;
    if (random() % 10 == 0) piece = random() % (largest + 1);
    piece = std::min(piece, largest);
    state.update(std::string_view(data).substr(at, piece));
    at += piece;
    const Sha256 snapshot = state;
    ASSERT_EQ(snapshot.size(), at);
    ASSERT_EQ(to_hex(snapshot.finish()), digest_of(Sha256Kernel::Portable, data.substr(0, at)))
        << "kernel " << static_cast<int>(kernel) << ", prefix " << at << " of " << data.size();
  }
  EXPECT_EQ(to_hex(state.finish()), to_hex(state.finish()));  // finish leaves the state
}

TEST(Sha256, KernelsAgreeOnEveryShortLengthAndRandomLongOnes) {
  std::mt19937_64 random(20260526);
  const auto random_bytes = [&](std::size_t size) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    return data;
  };
  std::vector<std::string> inputs;
  for (std::size_t size = 0; size <= 300; ++size) inputs.push_back(random_bytes(size));
  for (int i = 0; i < 6; ++i) inputs.push_back(random_bytes(1000 + random() % 300000));
  for (Sha256Kernel kernel : available_kernels()) {
    for (const std::string& data : inputs) {
      const std::string one_shot = digest_of(kernel, data);
      ASSERT_EQ(one_shot, digest_of(Sha256Kernel::Portable, data)) << data.size() << " bytes";
      if (data.size() <= 300 || data.size() % 2 == 0) check_pieces(kernel, data, random);
    }
  }
}

}  // namespace
}  // namespace quillmark::digest
