#include "cli/batch_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <streambuf>

#include "platform/failure.h"

namespace corvalith::host {
namespace {

// `size` bytes of 'x' and then "\nafter\n", made up as they are read: a line far longer than
// anyone should keep.
class EndlessLine : public std::streambuf {
 public:
  explicit EndlessLine(size_t size) : left_(size) {}

 protected:
  int_type underflow() override {
    if (left_ > 0) {
      size_t n = std::min(left_, sizeof chunk_);
      std::fill_n(chunk_, n, 'x');
      left_ -= n;
      setg(chunk_, chunk_, chunk_ + n);
    } else if (!tail_done_) {
      tail_done_ = true;
      static char tail[] = "\nafter\n";
      setg(tail, tail, tail + sizeof tail - 1);
    } else {
      return traits_type::eof();
    }
    return traits_type::to_int_type(*gptr());
  }

 private:
  size_t left_;
  bool tail_done_ = false;
  char chunk_[4096];
};

TEST(BatchLineTest, LinesUpToTheBoundAreReadAndLongerOnesAreSkippedWhole) {
  const size_t bound = 8;
  std::istringstream in("short\n12345678\n123456789\nnext\n\nlast-too-long-at-end");
  std::string line;
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kLine);
  EXPECT_EQ(line, "short");
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kLine);
  EXPECT_EQ(line, "12345678");
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kTooLong);
  EXPECT_EQ(line, "");
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kLine);
  EXPECT_EQ(line, "next");
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kLine);
  EXPECT_EQ(line, "") << "an empty line is a line, not the end";
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kTooLong);
  EXPECT_EQ(ReadBoundedLine(in, bound, &line), LineRead::kEnd);

  std::istringstream unterminated("last");
  EXPECT_EQ(ReadBoundedLine(unterminated, bound, &line), LineRead::kLine);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(ReadBoundedLine(unterminated, bound, &line), LineRead::kEnd);
}

TEST(BatchLineTest, AnOverlongLineIsNeverHeldInMemory) {
  EndlessLine source(size_t{256} << 20);
  std::istream in(&source);
  std::string line;
  EXPECT_EQ(ReadBoundedLine(in, kMaxBatchLineBytes, &line), LineRead::kTooLong);
  EXPECT_LE(line.capacity(), 2 * kMaxBatchLineBytes);
  EXPECT_EQ(ReadBoundedLine(in, kMaxBatchLineBytes, &line), LineRead::kLine);
  EXPECT_EQ(line, "after");
}

TEST(BatchRequestTest, ScoreNeedsAMailboxAndAFile) {
  BatchRequest score = ParseBatchRequest(R"({"op":"score","to":"a@b.example","file":"/m.eml"})");
  EXPECT_EQ(score.op, BatchRequest::Op::kScore);
  EXPECT_EQ(score.to.Text(), "a@b.example");
  EXPECT_EQ(score.file, "/m.eml");

  for (const char* bad : {R"({"op":"score","file":"/m.eml"})", R"({"op":"score","to":"a@b"})",
                          R"({"op":"score","to":"no-at","file":"/m.eml"})",
                          R"({"op":"score","to":"a@b","file":7})"}) {
    EXPECT_THROW(ParseBatchRequest(bad), Failure) << bad;
  }
}

}  // namespace
}  // namespace corvalith::host
