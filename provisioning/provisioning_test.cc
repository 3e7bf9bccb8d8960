#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "logging/control_characters.h"
#include "logging/testing/recording_logger.h"
#include "platform/failure.h"
#include "platform/testing/memory_environment.h"
#include "provisioning/data_layout.h"
#include "provisioning/user_init.h"
#include "provisioning/user_manual.h"
#include "store/memory/memory_store.h"

namespace corvalith {
namespace {

TEST(DataLayoutTest, PathsAndUnsafeNames) {
  EXPECT_EQ(UserDataPath("/data/", "d", "u"), "/data/d/u.dat");
  EXPECT_EQ(CreationMarkerPath("/data/d/u.dat"), "/data/d/u.dat.create");
  EXPECT_EQ(UserWhiteListPath("/data/d/u.dat"), "/data/d/u.dat.wlt");
  EXPECT_EQ(DomainWhiteListPath("/data/d"), "/data/d/global.wlt");
  EXPECT_EQ(ManualTemplatePath("/data/"), "/data/cvusrmnl.sys");
  for (const std::string& bad :
       {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\\b"), std::string("a\0b", 3), std::string("line\nbreak"),
        std::string("dom.test\r\nX: y"), std::string("tab\t"), std::string("\x1b[2J"),
        std::string("del\x7f")}) {
    try {
      CheckPathComponent("user", bad);
      ADD_FAILURE() << bad;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.description().rfind("Unsafe user name '", 0), 0u);
      EXPECT_FALSE(HasControlCharacter(failure.description())) << failure.description();
    }
  }
  for (const char* good :
       {"example.com", "alice", "a..b", "...", "Mixed Case", "J\u00fcrgen", "~tilde"}) {
    EXPECT_NO_THROW(CheckPathComponent("user", good)) << good;
  }
}

class ProvisioningTest : public ::testing::Test {
 protected:
  ProvisioningTest() : store_(env_.files) { env_.files.AddDirectory("/data"); }

  Admission Prepare(int32_t provider_mode, bool new_mail) {
    return PrepareDomainAndUser(env_.files, env_.events, logger_, "d", paths_, provider_mode,
                                new_mail, &summary_);
  }

  testing::MemoryEnvironment env_;
  testing::RecordingLogger logger_;
  store::MemoryStore store_;
  UserPaths paths_{"/data/d", "/data/d/u.dat"};
  std::string summary_ = "New Mail";
};

TEST_F(ProvisioningTest, NewDomainIsCreatedOnceAndAnnounced) {
  logger_.set_debug_level(0);
  EXPECT_EQ(Prepare(0, true), Admission::kAdmitted);
  EXPECT_TRUE(env_.files.IsDirectory("/data/d"));
  ASSERT_EQ(env_.events.entries().size(), 1u);
  EXPECT_EQ(env_.events.entries()[0].strings[0],
            "Database for Exchange Domain d successfully created.");
  EXPECT_EQ(env_.events.entries()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(summary_, "New Mail");  // no suffix at level 0, the entry all the same
  logger_.set_debug_level(1);
  EXPECT_EQ(Prepare(0, true), Admission::kAdmitted);
  EXPECT_EQ(env_.events.entries().size(), 1u);
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(ProvisioningTest, FailedCreationOtherThanExistingIsLogged) {
  env_.files.FailPath("/data/d", EACCES);
  EXPECT_EQ(Prepare(0, true), Admission::kAdmitted);
  EXPECT_EQ(logger_.records(),
            std::vector<std::string>{"ERROR while checking /data/d ,LastDllErr Code: " +
                                     std::to_string(EACCES)});
}

TEST_F(ProvisioningTest, ProviderModeAdmission) {
  env_.files.AddDirectory("/data/d");
  EXPECT_EQ(Prepare(1, true), Admission::kRefused);  // neither data file nor marker
  EXPECT_TRUE(logger_.records().empty());

  env_.files.WriteFile("/data/d/u.dat.create", "");
  EXPECT_EQ(Prepare(1, false), Admission::kAnnounced);  // a move admits silently
  EXPECT_TRUE(logger_.records().empty());
  EXPECT_EQ(Prepare(1, true), Admission::kAnnounced);
  EXPECT_EQ(logger_.records(),
            std::vector<std::string>{"New user found, initialize database /data/d/u.dat"});
  // Admission alone never takes the announcement away.
  EXPECT_TRUE(env_.files.Contents("/data/d/u.dat.create").has_value());

  env_.files.WriteFile("/data/d/u.dat", "db");
  EXPECT_EQ(Prepare(1, true), Admission::kAdmitted);
  EXPECT_EQ(Prepare(0, true), Admission::kAdmitted);
}

TEST_F(ProvisioningTest, MarkerIsRetiredOnlyOnceTheDataFileExists) {
  env_.files.AddDirectory("/data/d");
  env_.files.WriteFile("/data/d/u.dat.create", "");
  RetireCreationMarker(env_.files, logger_, paths_);  // the engine stored nothing
  EXPECT_TRUE(env_.files.Contents("/data/d/u.dat.create").has_value());

  env_.files.WriteFile("/data/d/u.dat", "db");
  RetireCreationMarker(env_.files, logger_, paths_);
  EXPECT_FALSE(env_.files.Contents("/data/d/u.dat.create").has_value());
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(ProvisioningTest, UndeletableMarkerIsLogged) {
  env_.files.AddDirectory("/data/d");
  env_.files.WriteFile("/data/d/u.dat", "db");
  // A directory at the marker's path exists but cannot be deleted as a file.
  env_.files.AddDirectory("/data/d/u.dat.create");
  RetireCreationMarker(env_.files, logger_, paths_);
  EXPECT_EQ(logger_.Count("Cannot delete /data/d/u.dat.create ,LastDllErr Code: "), 1);
}

TEST_F(ProvisioningTest, ManualIsTheTemplateByteForByteAndReplacedNotDuplicated) {
  const std::string bytes =
      "Subject: Hi\r\n\r\nGr\xfc\xdf"
      "e\r\n";
  env_.files.WriteFile("/data/cvusrmnl.sys", bytes);
  const std::string folder = "file://./backofficestorage/d/MBX/u/Inbox";
  store_.CreateFolder(folder);
  auto connection = store_.Connect();
  CreateUserManual(env_.files, *connection, folder, "/data/", logger_);
  CreateUserManual(env_.files, *connection, folder, "/data/", logger_);
  EXPECT_EQ(store_.Children(folder), std::vector<std::string>{folder + "/Corvalith_Manual.eml"});
  const std::string item = folder + "/Corvalith_Manual.eml";
  EXPECT_EQ(store_.Content(item), bytes);
  EXPECT_EQ(store_.Property(item, store::kMessageClassProperty), Variant::String("IPM.Note"));
  EXPECT_EQ(store_.Property(item, store::kMessageFlagsProperty)->ToInt32(), 2);
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(ProvisioningTest, UnusableTemplateLogsOneLineAndLeavesTheManualAsItWas) {
  const std::string folder = "file://./backofficestorage/d/MBX/u/Inbox";
  const std::string item = folder + "/Corvalith_Manual.eml";
  const std::string good = "Subject: Manual\r\n\r\nRead me.\r\n";
  store_.CreateFolder(folder);
  auto connection = store_.Connect();
  env_.files.WriteFile("/data/cvusrmnl.sys", good);
  CreateUserManual(env_.files, *connection, folder, "/data/", logger_);

  // Missing, then one byte too large.
  for (std::optional<std::string> replacement :
       {std::optional<std::string>(),
        std::optional(std::string(kMaxManualTemplateBytes + 1, 'x'))}) {
    env_.files.DeleteFile("/data/cvusrmnl.sys");
    if (replacement) env_.files.WriteFile("/data/cvusrmnl.sys", *replacement);
    size_t before = logger_.records().size();
    CreateUserManual(env_.files, *connection, folder, "/data/", logger_);
    ASSERT_EQ(logger_.records().size(), before + 1);
    const std::string& line = logger_.records().back();
    EXPECT_EQ(line.rfind("Err: Creation of user manual failed: ", 0), 0u) << line;
    EXPECT_NE(line.find("Source: " + folder), std::string::npos) << line;
    EXPECT_EQ(store_.Content(item), good);
    EXPECT_EQ(store_.Property(item, store::kMessageClassProperty), Variant::String("IPM.Note"));
  }
}

}  // namespace
}  // namespace corvalith
