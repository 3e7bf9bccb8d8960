#include "classifier/journaled_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "classifier/user_database.h"
#include "platform/failure.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;

// A second kind of file, laid out as a kind other than the user database would be.
constexpr uint32_t kOtherJournal = 100;
constexpr uint64_t kOtherDataAt = JournaledFile::DataOffset(kOtherJournal);
constexpr uint64_t kOtherCountAt = JournaledFile::kHeaderWordsAt;

const FileFormat& OtherFormat() {
  static const FileFormat format{
      "test model",  {'C', 'R', 'V', 'T', 'E', 'S', 'T', '1'}, 3, {7, 8, 9},
      kOtherJournal, kOtherDataAt + 3 * JournaledFile::kPage};
  return format;
}

class JournaledFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("journaled-file-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The description of the failure Open throws, or "" when it opens.
  static std::string OpenFailure(const FileFormat& format, const std::string& path) {
    try {
      JournaledFile::Open(format, path, true);
    } catch (const Failure& failure) {
      return failure.description();
    }
    return "";
  }

  fs::path dir_;
};

TEST_F(JournaledFileTest, AnotherKindKeepsItsOwnFormatAndUpdates) {
  const std::string path = (dir_ / "model.bin").string();
  EXPECT_EQ(JournaledFile::Open(OtherFormat(), path, false), nullptr);
  {
    auto file = JournaledFile::Open(OtherFormat(), path, true);
    ASSERT_NE(file, nullptr);
    JournaledFile::Lock lock(file.get(), true);
    JournaledFile::Update update(file.get());
    update.Put(kOtherCountAt, 42);
    update.Put(OtherFormat().size - 4, 7);
    update.Commit();
  }
  EXPECT_EQ(fs::file_size(path), OtherFormat().size);
  auto file = JournaledFile::Open(OtherFormat(), path, false);
  ASSERT_NE(file, nullptr);
  JournaledFile::Lock lock(file.get(), false);
  EXPECT_EQ(file->Word(kOtherCountAt), 42u);
  EXPECT_EQ(file->Word(OtherFormat().size - 4), 7u);
  EXPECT_EQ(file->Word(kOtherDataAt), 0u);
}

TEST_F(JournaledFileTest, KindsRefuseEachOthersFilesUntouched) {
  const std::string user = (dir_ / "user.dat").string(), other = (dir_ / "model.bin").string();
  ASSERT_NE(UserDatabase::Open(user, true), nullptr);
  ASSERT_NE(JournaledFile::Open(OtherFormat(), other, true), nullptr);
  const std::string user_bytes = ReadFile(user), other_bytes = ReadFile(other);

  std::string description = OpenFailure(OtherFormat(), user);
  EXPECT_NE(description.find("is not a test model"), std::string::npos) << description;
  EXPECT_NE(description.find(user), std::string::npos) << description;
  try {
    UserDatabase::Open(other, true);
    ADD_FAILURE() << "opened a file of another kind";
  } catch (const Failure& failure) {
    EXPECT_NE(failure.description().find("is not a classifier database"), std::string::npos);
    EXPECT_EQ(failure.number(), kEngineDatabaseForeign);
  }
  // Same magic, another geometry: a layout change is refused, not misread.
  FileFormat changed = OtherFormat();
  changed.geometry[1] = 16;
  description = OpenFailure(changed, other);
  EXPECT_NE(description.find("test model " + other + " is damaged or of another version"),
            std::string::npos)
      << description;
  EXPECT_EQ(ReadFile(user), user_bytes);
  EXPECT_EQ(ReadFile(other), other_bytes);
}

TEST_F(JournaledFileTest, UpdateLargerThanTheJournalChangesNothing) {
  const std::string path = (dir_ / "model.bin").string();
  auto file = JournaledFile::Open(OtherFormat(), path, true);
  JournaledFile::Lock lock(file.get(), true);
  JournaledFile::Update update(file.get());
  for (uint32_t i = 0; i <= kOtherJournal; ++i) update.Put(kOtherDataAt + 4 * i, 1);
  try {
    update.Commit();
    ADD_FAILURE() << "an update beyond the journal was committed";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kEngineJournalFull);
  }
  EXPECT_EQ(file->Word(kOtherDataAt), 0u);
}

}  // namespace
}  // namespace corvalith
