// The ban list: driver code reaches threads, locks, clocks, sleeps, random
// numbers and sockets only through the kernel interface. A direct use would
// run on real time and real threads under the simulation, where it would
// make runs unrepeatable or hang them, so it fails this test instead.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Folders whose code runs on the kernel interface.
const char* const kDriverFolders[] = {"common", "portdriver", "busdriver"};

struct Ban {
  const char* pattern;
  const char* why;
};

const Ban kBans[] = {
    {R"(#\s*include\s*<(thread|mutex|shared_mutex|condition_variable|future|semaphore|latch|barrier|stop_token)>)",
     "threads and locks come from the kernel"},
    {R"(#\s*include\s*<(chrono|ctime|time\.h|sys/time\.h|random|pthread\.h|unistd\.h)>)",
     "time, sleeps and randomness come from the kernel"},
    {R"(#\s*include\s*<(sys/socket\.h|netinet/[a-z_]+\.h|arpa/inet\.h|netdb\.h|poll\.h|sys/epoll\.h)>)",
     "the network is the kernel's transport"},
    {R"(\bstd::(thread|jthread|mutex|recursive_mutex|timed_mutex|shared_mutex|condition_variable|this_thread|chrono|random_device|mt19937)\b)",
     "threads, locks, clocks and randomness come from the kernel"},
    {R"(\b(sleep|usleep|nanosleep|rand|srand|random|clock_gettime|gettimeofday|socket|recvfrom|sendto)\s*\()",
     "a system call that the kernel interface stands for"},
};

std::string without_comments(const std::string& line) {
  const auto pos = line.find("//");
  return pos == std::string::npos ? line : line.substr(0, pos);
}

// "path:line: why" for every banned use under root's driver folders.
std::vector<std::string> violations(const fs::path& root) {
  std::vector<std::string> found;
  for (const char* folder : kDriverFolders) {
    if (!fs::exists(root / folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      const auto ext = entry.path().extension();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
      std::ifstream in(entry.path());
      std::string line;
      for (int number = 1; std::getline(in, line); ++number) {
        for (const Ban& ban : kBans) {
          if (std::regex_search(without_comments(line), std::regex(ban.pattern))) {
            found.push_back(fs::relative(entry.path(), root).string() + ":" +
                            std::to_string(number) + ": " + ban.why);
          }
        }
      }
    }
  }
  return found;
}

TEST(BanList, DriverCodeUsesOnlyTheKernelInterface) {
  EXPECT_THAT(violations(VELTO_SOURCE_DIR), testing::IsEmpty());
}

TEST(BanList, CatchesEachKindOfDirectUse) {
  const fs::path root = fs::temp_directory_path() / ("ban-list-" + std::to_string(::getpid()));
  fs::create_directories(root / "portdriver");
  const char* planted[] = {"#include <thread>", "#include <chrono>", "#include <sys/socket.h>",
                           "  std::mutex m;",   "  usleep(100);",    "  int r = rand();"};
  for (const char* line : planted) {
    std::ofstream(root / "portdriver" / "planted.cpp") << "// usleep( in a comment is fine\n"
                                                       << line << "\n";
    EXPECT_EQ(violations(root).size(), 1u) << line;
  }
  fs::remove_all(root);
}

}  // namespace
