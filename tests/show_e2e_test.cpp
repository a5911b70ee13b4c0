// Runs the real show binary headless with short modules and the bundled
// pictures: it must play the module through, hold for two seconds and exit 0,
// and stop at once when asked to by a signal.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.h>

#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

double module_seconds(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  openmpt_module* mod = openmpt_module_create_from_memory2(bytes.data(), bytes.size(), nullptr, nullptr, nullptr,
                                                           nullptr, nullptr, nullptr, nullptr);
  if (!mod) return -1;
  double seconds = openmpt_module_get_duration_seconds(mod);
  openmpt_module_destroy(mod);
  return seconds;
}

// A working directory holding data/ with the given module and, unless told
// otherwise, the bundled pictures.
fs::path stage(const fs::path& module, bool pictures = true) {
  fs::path dir = fs::temp_directory_path() / ("show-e2e-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  for (const auto& entry : fs::directory_iterator(fs::path(PROJECT_ROOT) / "data"))
    if (pictures && entry.path().extension() == ".jpg")
      fs::copy_file(entry.path(), dir / "data" / entry.path().filename());
  if (!module.empty()) fs::copy_file(module, dir / "data" / "lofasz.xm");
  return dir;
}

struct run_result {
  int exit_code;
  double seconds;
};

run_result run_show(const fs::path& dir) {
  // The show keeps its pictures until the process ends, by design: a leak
  // check of a sanitizer build would report them.
  std::string command = "cd '" + dir.string() +
                        "' && SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy ASAN_OPTIONS=detect_leaks=0 '" SHOW_BINARY "'";
  auto start = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds};
}

TEST(show_end_to_end, plays_a_brief_module_then_holds_two_seconds_and_exits_0) {
  fs::path module = fs::path(MUSIC_TEST_MODULES) / "brief.xm";
  double length = module_seconds(module);
  ASSERT_GT(length, 0.5);
  fs::path dir = stage(module);
  run_result r = run_show(dir);
  EXPECT_EQ(r.exit_code, 0);
  // Start-up decodes thirteen pictures first; the music's end is detected within a buffer.
  EXPECT_GT(r.seconds, length + 2.0 - 0.2);
  EXPECT_LT(r.seconds, length + 2.0 + 3.0);
  fs::remove_all(dir);
}

TEST(show_end_to_end, without_a_module_holds_two_seconds_and_exits_0) {
  fs::path dir = stage({});
  run_result r = run_show(dir);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_GT(r.seconds, 1.9);
  EXPECT_LT(r.seconds, 5.0);
  fs::remove_all(dir);
}

// SIGINT (Ctrl-C) and SIGTERM (kill) sent to two shows playing an 11.5 s
// module: each leaves at once with 128 + the signal number. Without pictures
// start-up takes no time, so the signals surely reach the frame loop.
TEST(show_end_to_end, stops_within_half_a_second_of_sigint_or_sigterm) {
  fs::path dir = stage(fs::path(MUSIC_TEST_MODULES) / "fast.xm", false);
  const int signals[] = {SIGINT, SIGTERM};
  pid_t shows[2];
  for (int i = 0; i < 2; ++i) {
    shows[i] = ::fork();
    ASSERT_GE(shows[i], 0);
    if (shows[i] == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::setenv("SDL_VIDEODRIVER", "dummy", 1);
      ::setenv("SDL_AUDIODRIVER", "dummy", 1);
      ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      ::execl(SHOW_BINARY, SHOW_BINARY, static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (int i = 0; i < 2; ++i) {
    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(shows[i], signals[i]), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(shows[i], &status, 0), shows[i]);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_TRUE(WIFEXITED(status)) << "ended by the signal itself";
    EXPECT_EQ(WEXITSTATUS(status), 128 + signals[i]);
    EXPECT_LT(seconds, 0.5) << "signal " << signals[i];
    std::printf("signal %d: exit code %d after %.3f s\n", signals[i], WEXITSTATUS(status), seconds);
  }
  fs::remove_all(dir);
}

}  // namespace
