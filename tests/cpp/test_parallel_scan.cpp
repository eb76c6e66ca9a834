// The pass over a gzip file on several threads against the pass on one: for
// files cut into parts of many sizes, so that cuts fall at, just before and
// just after members and records, on 2, 3 and 7 threads, the sink must see
// exactly the events one FileScan makes (records with their header blocks and
// bodies, members, groups, pauses) and the same verdict, with the parts read
// ahead put to use where the file allows it, and a run that returns at the
// sink's pause holding no more records than the single scan's runs. The
// files hold what speculation gets wrong: gzip members and whole .warc.gz
// data stored as they are inside other members, records spread over members,
// a single member, zero padding, trailing garbage, damage in one part or in
// two, files smaller than a part.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "archive_generator.hpp"
#include "gzip_testing.hpp"
#include "record/file/parallel_scan.hpp"

namespace quillmark::testing {
namespace {

// Every event the sink sees, as text, in order.
class Transcript final : public ScanSink {
 public:
  explicit Transcript(std::size_t pause_every) : pause_every_(pause_every) {}

  void begin(bool compressed) override { add(compressed ? "gzip" : "plain"); }

  bool wants_body(const RecordStart& record) const override { return record.body_size % 3 != 1; }
  Status record_begin(const RecordStart& record) override {
    std::string fields;
    for (const FieldPlace& field : record.fields) {
      fields += " [" + std::string(record.block.substr(field.name_at, field.name_size)) + "=" +
                std::string(record.block.substr(field.value_at, field.value_size)) + "]";
    }
    add("begin " + std::to_string(record.offset) + " " + std::to_string(record.body_size) +
        (record.manifest ? " manifest " : " ") + std::string(record.block) + fields);
    return Ok{};
  }
  Status record_body(std::string_view piece) override {
    body_ += piece;
    return Ok{};
  }
  Status record_end(std::size_t offset, std::size_t length, std::string_view separator) override {
    add("body " + body_);
    body_.clear();
    add("end " + std::to_string(offset) + " " + std::to_string(length) + " " +
        std::to_string(separator.size()));
    ++records_;
    return Ok{};
  }
  Status member_end(const MemberSpan& member, std::optional<std::size_t> open) override {
    add("member " + std::to_string(member.compressed_start) + "-" +
        std::to_string(member.compressed_end) + " " + std::to_string(member.start) + "-" +
        std::to_string(member.end) + " " + (open ? std::to_string(*open) : "-"));
    return Ok{};
  }
  Status group_closed(const MemberGroup& group) override {
    add("group " + std::to_string(group.compressed_start) + "-" +
        std::to_string(group.compressed_end) + " " + std::to_string(group.start) + "-" +
        std::to_string(group.end) + " " + std::to_string(group.members) + " " +
        std::to_string(group.records) + " " + std::to_string(group.manifests));
    return Ok{};
  }
  bool pause() override { return pause_every_ != 0 && records_ % pause_every_ == 0; }
  std::size_t records() const { return records_; }

  std::vector<std::string> events;

 private:
  void add(std::string event) { events.push_back(std::move(event)); }

  std::size_t pause_every_;
  std::size_t records_ = 0;
  std::string body_;
};

struct Verdict {
  std::vector<std::string> events;
  std::string status;  // "ok", or the error's text and offset
  std::size_t records = 0, manifests = 0, content = 0;
  bool one_record_per_member = false;
  friend bool operator==(const Verdict&, const Verdict&) = default;
};

struct PassRun {
  Verdict verdict;
  std::size_t parts = 0;
  std::size_t most_per_run = 0;  // records delivered by one run()
};

// `direct`: a ParallelScan whatever the file's size, as make_pass makes
// only for files of two parts or more.
PassRun pass_over(const std::string& file, unsigned threads, std::size_t part_size,
                  std::size_t budget, std::size_t pause_every, bool direct = false) {
  TemporaryFile disk(file);
  Result<FileInput> input = FileInput::open(disk.fd());
  EXPECT_TRUE(input);
  Transcript transcript(pause_every);
  std::unique_ptr<Pass> pass =
      direct ? std::make_unique<ParallelScan>(input.value(), transcript, ScanOptions{}, threads,
                                              part_size)
             : make_pass(input.value(), transcript, {}, threads, part_size);
  Status status = Ok{};
  PassRun run;
  do {
    const std::size_t before = transcript.records();
    status = pass->run(budget);
    run.most_per_run = std::max(run.most_per_run, transcript.records() - before);
  } while (status && !pass->done());
  run.parts = pass->parts();
  Verdict& verdict = run.verdict;
  verdict.events = std::move(transcript.events);
  verdict.status =
      status ? "ok" : status.error().display() + " @" + std::to_string(status.error().offset());
  if (status) {
    verdict.records = pass->records();
    verdict.manifests = pass->manifest_records();
    verdict.content = pass->content_size();
    verdict.one_record_per_member = pass->one_record_per_member();
  }
  return run;
}

std::string record(std::string_view type, std::string_view body) {
  return "WARC/1.1\r\nWARC-Type: " + std::string(type) +
         "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body) + "\r\n\r\n";
}

std::string manifest_record(std::string_view store) {
  return "WARC/1.1\r\nWARC-Type: c2paprovenance\r\nContent-Type: application/c2pa\r\n"
         "Content-Length: " +
         std::to_string(store.size()) + "\r\n\r\n" + std::string(store) + "\r\n\r\n";
}

// The records of a small crawl, some with bodies that are gzip members or
// .warc.gz data themselves, and a manifest record now and then.
std::vector<std::string> records(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Expected> expected;
  const std::string generated = Generator(seed).archive(expected);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::size_t end = i + 1 < expected.size() ? expected[i + 1].offset : generated.size();
    out.push_back(generated.substr(expected[i].offset, end - expected[i].offset));
  }
  for (int i = 0; i < 6; ++i) {
    std::string inner;  // a .warc.gz, one member per record, as a body
    for (int j = 0; j < 3; ++j) inner += gzip_member(record("resource", "inner page"), 6);
    out.push_back(record("response", random() % 2 ? inner : gzip_member("plain text", 9)));
    if (random() % 4 == 0) out.push_back(manifest_record("store " + std::to_string(i)));
    std::string text(random() % 3000, 'x');
    for (char& c : text) c = "abc <p>\r\n"[random() % 9];
    out.push_back(record("resource", text));
  }
  return out;
}

// Members written from the records: mostly one per record, some records
// spread over two members or sharing one, some members stored (level 0) so
// that the gzip data of their bodies stands in the file as it is.
std::string gzip_file(const std::vector<std::string>& parts, std::mt19937& random) {
  std::string file;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const int level = random() % 3 == 0 ? 0 : 6;
    std::string data = parts[i];
    if (random() % 5 == 0 && i + 1 < parts.size()) data += parts[++i];  // two in one
    if (random() % 5 == 0 && data.size() > 2) {                         // one in two
      const std::size_t cut = 1 + random() % (data.size() - 1);
      file += gzip_member(data.substr(0, cut), level);
      file += gzip_member(data.substr(cut), level);
    } else {
      file += gzip_member(data, level);
    }
  }
  return file;
}

enum class Parts { Several, One, Any };

// `parts`: whether the parts read ahead must be put to use, must not be (the
// file allows no split), or may be.
void expect_same_on_every_split(const std::string& file, const std::string& what,
                                Parts parts = Parts::Several, bool direct = false) {
  const Verdict single = pass_over(file, 1, 0, 0, 0).verdict;
  std::size_t single_most[3] = {0, 0, 0};  // per pause_every
  for (std::size_t pause_every : {1, 2}) {
    single_most[pause_every] = pass_over(file, 1, 0, 0, pause_every).most_per_run;
  }
  std::mt19937 random(static_cast<unsigned>(file.size()));
  for (unsigned threads : {2u, 3u, 7u}) {
    for (int trial = 0; trial < 6; ++trial) {
      // Parts from a few dozen bytes to a few KiB: cuts land everywhere.
      const std::size_t part_size = 16 + random() % (trial < 3 ? 400 : 6000);
      const std::size_t budget = trial % 2 ? 0 : 1 + random() % 5000;
      const std::size_t pause_every = trial % 3;
      SCOPED_TRACE(what + ", " + std::to_string(threads) + " threads, parts of " +
                   std::to_string(part_size) + ", budget " + std::to_string(budget));
      const PassRun run = pass_over(file, threads, part_size, budget, pause_every, direct);
      const Verdict& verdict = run.verdict;
      if (pause_every == 0) {
        EXPECT_EQ(verdict, single);
      } else {  // pausing changes nothing but where run() returns
        EXPECT_EQ(verdict.events, single.events);
        EXPECT_EQ(verdict.status, single.status);
        if (budget == 0) {
          EXPECT_LE(run.most_per_run, single_most[pause_every]);
        }
      }
      // make_pass reads a file of fewer than two parts on one thread.
      const bool split = direct || file.size() >= 2 * part_size;
      if (parts == Parts::Several && split) {
        EXPECT_GT(run.parts, 1u);
      } else if (parts == Parts::One || !split) {
        EXPECT_EQ(run.parts, 1u);
      }
    }
  }
}

TEST(ParallelScan, GivesExactlyWhatOneScanGives) {
  for (unsigned seed = 0; seed < 10; ++seed) {
    std::mt19937 random(seed);
    const std::string file = gzip_file(records(seed), random);
    expect_same_on_every_split(file, "seed " + std::to_string(seed));
  }
}

TEST(ParallelScan, GivesExactlyWhatOneScanGivesOnOddFiles) {
  std::mt19937 random(99);
  const std::vector<std::string> parts = records(99);
  std::string all;
  for (const std::string& part : parts) all += part;
  const std::string members = gzip_file(parts, random);
  expect_same_on_every_split(gzip_member(all, 6), "a single member", Parts::One);
  expect_same_on_every_split(gzip_member(all, 0), "a single stored member", Parts::One);
  expect_same_on_every_split(members + std::string(3000, '\0'), "zero padding");
  expect_same_on_every_split(members + "trailing garbage", "trailing garbage", Parts::Any);
  // Files smaller than their parts, which make_pass would read on one thread.
  expect_same_on_every_split(gzip_member(parts[0], 6) + gzip_member(parts[1], 6),
                             "smaller than its parts", Parts::Any, /*direct=*/true);
  expect_same_on_every_split(std::string("\x1f\x8b", 2), "a bare magic number", Parts::One,
                             /*direct=*/true);
}

TEST(ParallelScan, ReportsTheFirstFailureInFileOrder) {
  std::mt19937 random(5);
  const std::vector<std::string> parts = records(5);
  std::vector<std::string> members;
  for (const std::string& part : parts) members.push_back(gzip_member(part, 6));
  const auto joined = [](const std::vector<std::string>& pieces) {
    std::string out;
    for (const std::string& piece : pieces) out += piece;
    return out;
  };
  for (int trial = 0; trial < 8; ++trial) {
    std::vector<std::string> damaged = members;
    for (int n = 0; n < 1 + trial % 2; ++n) {  // one damaged member, or two
      const std::size_t which = random() % damaged.size();
      if (random() % 2) {
        std::string& member = damaged[which];
        member[member.size() / 2] = static_cast<char>(member[member.size() / 2] ^ 0x55);
      } else {  // a record the framer refuses
        damaged[which] = gzip_member("WARC/1.1\r\nContent-Length: x\r\n\r\n", 6);
      }
    }
    expect_same_on_every_split(joined(damaged), "damage " + std::to_string(trial), Parts::Any);
  }
}

// A false start a little after the cut, then the true one: the search must
// go on past the false one in the bytes it was looking at.
TEST(ParallelScan, FindsAPartsStartPastAFalseOne) {
  std::string rest;
  for (int i = 0; rest.size() < 10000; ++i) {
    rest += gzip_member(record("resource", "page " + std::to_string(i)), 6);
  }
  // A stored member whose body ends in a gzip header that is no member, its
  // end some 2 KiB past the middle of the file, where the cut falls.
  const std::string fake = std::string("\x1f\x8b\x08\x00\0\0\0\0\0\x03\xff\xff\xff", 13);
  std::string body(rest.size() + 2000, 'x');
  body += fake;
  const std::string file = gzip_member(record("resource", body), 0) + rest;
  const std::size_t cut = file.size() / 2;
  const std::size_t false_start = file.find(fake);
  ASSERT_GT(false_start, cut + 500);
  ASSERT_LT(file.size() - rest.size() - false_start, false_start - cut);
  const Verdict single = pass_over(file, 1, 0, 0, 0).verdict;
  const PassRun run = pass_over(file, 2, file.size(), 0, 0, /*direct=*/true);
  EXPECT_EQ(run.verdict, single);
  EXPECT_EQ(run.parts, 2u);
}

}  // namespace
}  // namespace quillmark::testing
