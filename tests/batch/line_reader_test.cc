#include "batch/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "episode_grouper/line_splitter.h"
#include "support/run_program.h"

namespace grouper {
namespace {

// A temporary file holding `bytes`, positioned at its start.
std::FILE* file_with(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

// Every record of `bytes`, read with a reader of the given block size.
std::vector<std::string> records(const std::string& bytes, size_t block_size = 1 << 18) {
  std::FILE* f = file_with(bytes);
  LineReader reader(f, block_size);
  std::vector<std::string> out;
  std::vector<char> line(kLineBufferSize);
  while (size_t len = reader.next(line.data())) out.emplace_back(line.data(), len);
  EXPECT_FALSE(reader.failed());
  std::fclose(f);
  return out;
}

// The plain splitting the reader must agree with: cut after each line feed,
// and after every 4095 bytes without one.
std::vector<std::string> reference_split(const std::string& bytes) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : bytes) {
    cur += c;
    if (c == '\n' || cur.size() == kMaxLineBytes) {
      out.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

TEST(LineReader, SplitsAtLineFeedsKeepingThem) {
  EXPECT_EQ(records("one\ntwo\n"), (std::vector<std::string>{"one\n", "two\n"}));
}

TEST(LineReader, EmptyInputHasNoRecords) { EXPECT_TRUE(records("").empty()); }

TEST(LineReader, LastLineWithoutLineFeedIsARecord) {
  EXPECT_EQ(records("one\ntwo"), (std::vector<std::string>{"one\n", "two"}));
}

TEST(LineReader, CarriageReturnStaysPartOfTheLine) {
  EXPECT_EQ(records("one\r\ntwo\r\n"), (std::vector<std::string>{"one\r\n", "two\r\n"}));
}

TEST(LineReader, NulBytesAreOrdinaryBytes) {
  const std::string line("a\0b\0\n", 5);
  EXPECT_EQ(records(line + "c\n"), (std::vector<std::string>{line, "c\n"}));
}

TEST(LineReader, LongPhysicalLineBecomesSeveralRecords) {
  auto r = records(std::string(5000, 'x') + "\n");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], std::string(4095, 'x'));
  EXPECT_EQ(r[1], std::string(905, 'x') + "\n");
}

TEST(LineReader, LineOfExactly4095CharactersLeavesItsLineFeedAsARecord) {
  auto r = records(std::string(4095, 'x') + "\nnext\n");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].size(), 4095u);
  EXPECT_EQ(r[1], "\n");
  EXPECT_EQ(r[2], "next\n");
}

TEST(LineReader, LineOf4094CharactersAndItsLineFeedIsOneRecord) {
  auto r = records(std::string(4094, 'x') + "\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].size(), 4095u);
}

TEST(LineReader, BytesPastAShortLineReadAsBlanks) {
  std::FILE* f = file_with(std::string(300, 'x') + "\nab\n");
  LineReader reader(f);
  std::vector<char> line(kLineBufferSize, 'z');
  ASSERT_EQ(reader.next(line.data()), 301u);
  ASSERT_EQ(reader.next(line.data()), 3u);
  EXPECT_EQ(std::string(line.data(), 3), "ab\n");
  EXPECT_EQ(std::string(line.data() + 3, kRecordWidth - 3), std::string(kRecordWidth - 3, ' '));
  std::fclose(f);
}

TEST(LineReader, AnyBlockSizeGivesTheSameRecordsAsThePlainSplit) {
  std::mt19937 rng(12345);
  std::string bytes;
  // Lines of many lengths around the 4095-byte limit, with CRs and NULs.
  for (int i = 0; i < 60; ++i) {
    size_t len = std::uniform_int_distribution<size_t>(0, 9000)(rng);
    for (size_t j = 0; j < len; ++j) {
      int pick = std::uniform_int_distribution<int>(0, 40)(rng);
      bytes += pick == 0 ? '\0' : pick == 1 ? '\r' : static_cast<char>('a' + pick % 26);
    }
    if (i % 7 != 3) bytes += '\n';
  }
  const auto expected = reference_split(bytes);
  for (size_t block : {1, 2, 7, 4095, 4096, 65536}) {
    EXPECT_EQ(records(bytes, block), expected) << "block size " << block;
  }
}

// The library's splitting is the reader's: on the whole input, and on any
// block that starts at a line boundary and ends at a later one or at the end
// of the input (the splitting restarts at every line feed).
TEST(LineReader, LibrarySplittingAgreesOnWholeInputAndOnBlocksFromAnyLineBoundary) {
  std::mt19937 rng(2005);
  std::string bytes;
  // Every byte value but the line feed inside a line; lengths around the
  // 4095-byte limit and its multiples, and short ones.
  const size_t edges[] = {0, 1, 4094, 4095, 4096, 8190, 8191};
  for (int i = 0; i < 80; ++i) {
    size_t len = i < 7 ? edges[i] : std::uniform_int_distribution<size_t>(0, 9000)(rng);
    if (i % 3 == 0 && i >= 7) len %= 100;
    for (size_t j = 0; j < len; ++j) {
      const int byte = std::uniform_int_distribution<int>(0, 255)(rng);
      bytes += byte == '\n' ? '\r' : static_cast<char>(byte);
    }
    bytes += '\n';
  }
  bytes += std::string(5000, '\0');  // a last line without a line feed, past the limit

  const std::vector<std::string> expected = records(bytes, 7);
  ASSERT_EQ(expected, reference_split(bytes));
  std::vector<std::string> whole;
  std::string_view record;
  for (episode_grouper::LineSplitter split(bytes); split.next(record);) whole.emplace_back(record);
  ASSERT_EQ(whole, expected);
  EXPECT_EQ(episode_grouper::count_records(bytes), expected.size());

  // Where each record starts, and the line boundaries.
  std::vector<size_t> start;
  size_t at = 0;
  for (const std::string& r : expected) start.push_back(at), at += r.size();
  std::vector<size_t> boundaries = {0};
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') boundaries.push_back(i + 1);
  }
  std::uniform_int_distribution<size_t> pick(0, boundaries.size() - 1);
  for (int trial = 0; trial < 300; ++trial) {
    size_t from = boundaries[pick(rng)];
    size_t to = trial % 5 == 0 ? bytes.size() : boundaries[pick(rng)];
    if (from > to) std::swap(from, to);
    const std::string_view block = std::string_view(bytes).substr(from, to - from);
    std::vector<std::string> want;
    for (size_t k = 0; k < expected.size(); ++k) {
      if (start[k] >= from && start[k] < to) want.push_back(expected[k]);
    }
    std::vector<std::string> got;
    for (episode_grouper::LineSplitter split(block); split.next(record);) got.emplace_back(record);
    ASSERT_EQ(got, want) << "block [" << from << ", " << to << ")";
    ASSERT_EQ(episode_grouper::count_records(block), want.size()) << "block [" << from << ", " << to << ")";
  }
}

TEST(LineReader, ReadErrorEndsTheInputAndIsReported) {
  // Reading a directory fails (EISDIR) although opening it for reading works.
  testing::ScratchDir dir("line-reader-dir");
  std::FILE* f = std::fopen(dir.path().c_str(), "r");
  ASSERT_NE(f, nullptr);
  LineReader reader(f);
  std::vector<char> line(kLineBufferSize);
  EXPECT_EQ(reader.next(line.data()), 0u);
  EXPECT_TRUE(reader.failed());
  std::fclose(f);
}

// Rows of named fields split the same whatever the block size, however
// the blocks cut them: a line feed inside quotes stays in its row, blank
// lines are skipped, a byte-order mark at the start goes, and each row
// knows its line.
TEST(LineReader, RowsSplitAtLineFeedsOutsideQuotesWhateverTheBlockSize) {
  const std::string bytes =
      "\xEF\xBB\xBF" "id,note\r\n"
      "1,\"two\nlines, \"\"quoted\"\"\"\r\n"
      "\r\n\n"
      "2,plain\n"
      "3,\"\"\"\n\"\"\"\n"
      "4,last without line feed";
  const std::vector<std::string> want = {"id,note\r\n", "1,\"two\nlines, \"\"quoted\"\"\"\r\n", "2,plain\n",
                                         "3,\"\"\"\n\"\"\"\n", "4,last without line feed"};
  const std::vector<int64_t> want_lines = {1, 2, 6, 7, 9};
  for (size_t block_size : {1, 2, 3, 7, 64, 1 << 20}) {
    SCOPED_TRACE(block_size);
    std::FILE* f = file_with(bytes);
    LineReader reader(f, block_size, RowSplit::kQuoted);
    RecordBlock block(block_size, kMaxRowBytes);
    std::vector<std::string> rows;
    std::vector<int64_t> lines;
    while (reader.read_block(block, 2) > 0) {
      for (size_t i = 0; i < block.count(); ++i) {
        rows.emplace_back(block.row(i));
        lines.push_back(block.row_line(i));
      }
    }
    EXPECT_FALSE(reader.failed()) << reader.error();
    EXPECT_EQ(rows, want);
    EXPECT_EQ(lines, want_lines);
    std::fclose(f);
  }
  // JSON Lines: quotes do not hold rows together.
  std::FILE* f = file_with("{\"a\":\"\n\n{}\n");
  LineReader reader(f, 1 << 20, RowSplit::kLines);
  RecordBlock block(1 << 20, kMaxRowBytes);
  ASSERT_EQ(reader.read_block(block, 10), 2u);
  EXPECT_EQ(block.row(0), "{\"a\":\"\n");
  EXPECT_EQ(block.row(1), "{}\n");
  std::fclose(f);
}

}  // namespace
}  // namespace grouper
