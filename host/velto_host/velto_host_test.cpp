// velto-host as a user runs it: the store written with velto-reg, then
// `velto-host --list` boots the real host kernel, prints the ports and
// unloads. Also its errors for a store it cannot use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using ::testing::HasSubstr;

struct Result {
  int status = -1;
  std::string out;
};

Result run(const std::string& command) {
  Result r;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  std::array<char, 4096> chunk{};
  while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) r.out.append(chunk.data(), n);
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

class VeltoHostList : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velto-host-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    store_ = (dir_ / "store.db").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Result reg(const std::string& args) {
    return run(std::string(VELTO_REG) + " --store '" + store_ + "' " + args);
  }
  Result host(const std::string& args) {
    return run(std::string(VELTO_HOST) + " --store '" + store_ + "' " + args);
  }

  std::filesystem::path dir_;
  std::string store_;
};

TEST_F(VeltoHostList, MaxPortFromVeltoRegGivesThatManyPorts) {
  const std::string key = "'HKLM\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT'";
  ASSERT_EQ(reg("set " + key + " MaxPort REG_DWORD 4").status, 0);
  EXPECT_THAT(reg("export " + key).out, HasSubstr("\"MaxPort\"=dword:00000004"));

  const Result r = host("--list");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, testing::ContainsRegex("vcserial0 +\\\\DosDevices\\\\COM3 +COM3"));
  EXPECT_THAT(r.out, testing::ContainsRegex("vcserial3 +\\\\DosDevices\\\\COM6 +COM6"));
  EXPECT_THAT(r.out, testing::Not(HasSubstr("vcserial4")));
}

TEST_F(VeltoHostList, PortNameOfTheFirstChildNamesTheComPorts) {
  ASSERT_EQ(
      reg("set 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT' MaxPort REG_DWORD 4").status,
      0);
  ASSERT_EQ(reg("set 'HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ZANIV\\VELTOIOP\\00000000\\Device "
                "Parameters' PortName REG_SZ COM7")
                .status,
            0);
  const Result r = host("--list");
  ASSERT_EQ(r.status, 0) << r.out;
  for (int n : {7, 8, 9, 10}) EXPECT_THAT(r.out, HasSubstr("COM" + std::to_string(n)));
  EXPECT_THAT(r.out, testing::Not(HasSubstr("COM11")));
}

TEST_F(VeltoHostList, UnusableStoreOrOptionIsAOneLineError) {
  std::ofstream(store_) << "this is not a database, just text that is long enough to matter\n";
  Result r = host("--list");
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.out, testing::StartsWith("velto-host: "));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;

  r = run(std::string(VELTO_HOST) + " --no-such-option");
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.out, testing::StartsWith("velto-host: "));
}

}  // namespace
