#include "driver/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

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

TEST(LineReader, ReadErrorEndsTheInputAndIsReported) {
  // Reading a directory fails (EISDIR) although opening it for reading works.
  auto dir = testing::fresh_dir("line-reader-dir");
  std::FILE* f = std::fopen(dir.c_str(), "r");
  ASSERT_NE(f, nullptr);
  LineReader reader(f);
  std::vector<char> line(kLineBufferSize);
  EXPECT_EQ(reader.next(line.data()), 0u);
  EXPECT_TRUE(reader.failed());
  std::fclose(f);
}

}  // namespace
}  // namespace grouper
