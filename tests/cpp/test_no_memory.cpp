// Every allocation of a core operation fails in turn: the operation either
// returns what it returns without the fault or throws std::bad_alloc, and
// every allocation made before the fault is freed again. (Under
// AddressSanitizer the leak check at exit looks as well.)
//
// The global operator new of this executable counts allocations and, while a
// fault is armed, throws on the chosen one; that is why these tests have an
// executable of their own.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive_generator.hpp"
#include "record/builder.hpp"
#include "record/manifest.hpp"
#include "record/owned/parse_records.hpp"
#include "record/record_index.hpp"
#include "writer/appender.hpp"

namespace {

struct AllocationCounter {
  std::size_t live = 0;       // allocations not yet freed
  std::size_t since_arm = 0;  // allocations since the fault was armed
  std::size_t fail_at = SIZE_MAX;
  bool armed = false;
};

AllocationCounter counter;

void* allocate(std::size_t size) {
  if (counter.armed && counter.since_arm++ == counter.fail_at) throw std::bad_alloc();
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  ++counter.live;
  return memory;
}

void release(void* memory) noexcept {
  if (memory == nullptr) return;
  --counter.live;
  std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void operator delete(void* memory) noexcept {
  release(memory);
}
void operator delete[](void* memory) noexcept {
  release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  release(memory);
}

namespace quillmark::testing {
namespace {

// Allocation `fail_at` (counted from 0) throws while the guard lives;
// SIZE_MAX only counts.
class Fault {
 public:
  explicit Fault(std::size_t fail_at) {
    counter.since_arm = 0;
    counter.fail_at = fail_at;
    counter.armed = true;
  }
  Fault(const Fault&) = delete;
  Fault& operator=(const Fault&) = delete;
  ~Fault() { counter.armed = false; }
};

template <class T>
bool same(const Result<T>& a, const Result<T>& b) {
  if (a.ok() != b.ok()) return false;
  return a.ok() ? a.value() == b.value() : a.error() == b.error();
}

// The WARC-Date value of the last record, which the clock decides, blanked.
Result<ByteBuffer> undated(Result<ByteBuffer> result) {
  if (!result) return result;
  ByteBuffer out = std::move(result).value();
  const std::size_t at = out.rfind("\r\nWARC-Date: ");
  if (at != std::string::npos) out.replace(at + 13, out.find('\r', at + 13) - (at + 13), "-");
  return out;
}

bool same_index(const Result<RecordIndex>& a, const Result<RecordIndex>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error() == b.error();
  const RecordIndex &x = a.value(), &y = b.value();
  if (x.records.size() != y.records.size() || x.fields.size() != y.fields.size()) return false;
  for (std::size_t i = 0; i < x.records.size(); ++i) {
    const RecordView &r = x.records[i], &s = y.records[i];
    if (r.offset != s.offset || r.length != s.length || r.body != s.body ||
        r.first_field != s.first_field || r.field_count != s.field_count) {
      return false;
    }
  }
  for (std::size_t i = 0; i < x.fields.size(); ++i) {
    if (x.fields[i].name != y.fields[i].name || x.fields[i].value != y.fields[i].value) {
      return false;
    }
  }
  return true;
}

// Runs `operation` with each of its allocations failing in turn, and checks
// the outcome of every run with `equal` against the run without a fault.
// Returns the number of allocations that failed it.
template <class Operation, class Equal>
std::size_t check_every_allocation(Operation operation, Equal equal) {
  const auto expected = operation();
  std::size_t allocations = 0;
  {
    const std::size_t live = counter.live;
    {
      const Fault none(SIZE_MAX);
      const auto counted = operation();
      allocations = counter.since_arm;
    }
    EXPECT_EQ(counter.live, live) << "allocations not freed without a fault";
  }
  std::size_t failed = 0;
  for (std::size_t n = 0; n < allocations; ++n) {
    const std::size_t live = counter.live;
    std::optional<decltype(operation())> got;
    try {
      const Fault fault(n);
      got.emplace(operation());
    } catch (const std::bad_alloc&) {
      ++failed;
    }
    if (got) {
      EXPECT_TRUE(equal(*got, expected)) << "allocation " << n << " failed: a different result";
      got.reset();
    }
    EXPECT_EQ(counter.live, live) << "allocation " << n << " of " << allocations
                                  << " failed and left memory behind";
  }
  return failed;
}

std::vector<std::string> archives() {
  std::vector<std::string> out;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    Generator generator(seed);
    std::vector<Expected> expected;
    out.push_back(generator.archive(expected));
  }
  // A manifest record in the middle, long names and values (no short-string
  // storage), more names than the header map scans before it hashes.
  std::string lines = "WARC/1.1\r\n";
  for (int i = 0; i < 12; ++i) {
    lines +=
        "X-A-Rather-Long-Header-Name-" + std::to_string(i) + ": a value too long to be short\r\n";
  }
  const std::string wide = lines + "Content-Length: 3\r\n\r\nabc\r\n\r\n";
  const std::string manifest =
      "WARC/1.1\r\nWARC-Type: c2paprovenance\r\nContent-Type: application/c2pa\r\n"
      "Content-Length: 5\r\n\r\nstore\r\n\r\n";
  out.push_back(wide + manifest + wide);
  out.push_back(wide + manifest + wide + "garbage");  // fails late
  out.push_back("");
  return out;
}

// check_every_allocation of `operation(warc)` for each archive above.
template <class Operation, class Equal>
void check_every_archive(Operation operation, Equal equal) {
  std::size_t failed = 0;
  for (const std::string& warc : archives()) {
    failed += check_every_allocation([&] { return operation(warc); }, equal);
  }
  EXPECT_GT(failed, 0u);
}

const auto kSame = [](const auto& a, const auto& b) { return same(a, b); };

TEST(NoMemory, ParseRecords) {
  check_every_archive([](std::string_view warc) { return parse_records(warc); }, kSame);
}

TEST(NoMemory, IndexRecords) {
  check_every_archive([](std::string_view warc) { return index_records(warc); }, same_index);
}

TEST(NoMemory, FindManifest) {
  check_every_archive([](std::string_view warc) { return find_manifest(warc); }, kSame);
}

TEST(NoMemory, AppendManifest) {
  const std::string store(100, 's');
  check_every_archive(
      [&](std::string_view warc) {
        return undated(append_manifest(warc, store, "urn:uuid:a-record-id-that-is-long"));
      },
      kSame);
}

TEST(NoMemory, BuildRecord) {
  const auto build = [] {
    return undated(build_record("resource", "text/plain", "urn:uuid:1", "http://example.com/",
                                std::string(100, 'b')));
  };
  EXPECT_GT(check_every_allocation(build, kSame), 0u);
}

}  // namespace
}  // namespace quillmark::testing
