// pellinor-log follow, the built program, against a log that a scenario is
// writing: what it prints as the log grows and rotates is what grep and
// errors print of the finished generations.
//
// No test waits for a time: the scenario runs once every follower has said
// on standard error that it follows the log (it holds the file from then
// on, before the driver writes a byte to it); --until-stop ends each at the
// scenario's "Stop Tracing", Ctrl-C the one of the other test once it has
// printed what the log held.
#include "tools/pellinor-log/LogCommand.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string SourcePath(const std::string& relative) {
  return std::string(PELLINOR_SOURCE_DIR) + "/" + relative;
}

// The earlier session the log begins with: the demo's log up to the end of
// its "Start Tracing" block, a session whose stop the log never got.
std::string EarlierStart() {
  std::string demo = ReadFile(SourcePath("tests/data/scenarios/demo.log"));
  size_t start = demo.find("Start Tracing\r\n");
  size_t rule = demo.find("\r\n-----", demo.find("UserMode Appls", start));
  return demo.substr(0, demo.find('\n', rule + 2) + 1);
}

// The built pellinor-log, its standard output read through a pipe.
class Follower {
 public:
  explicit Follower(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(out[1]);
      close(err[0]);
      close(err[1]);
      std::vector<std::string> all;
      std::string runner = PELLINOR_I386_RUNNER;
      if (!runner.empty())
        all.push_back(runner);
      all.push_back(PELLINOR_LOG_PROGRAM);
      all.push_back("follow");
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    fd_ = out[0];
    errFd_ = err[0];
  }
  ~Follower() {
    if (fd_ >= 0)
      close(fd_);
    if (errFd_ >= 0)
      close(errFd_);
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  // Reads until the output holds `text` (false at the end of the output).
  bool ReadUntil(const std::string& text) {
    while (out_.find(text) == std::string::npos)
      if (!ReadSome(fd_, &out_))
        return false;
    return true;
  }
  // Reads standard error until it says that the log is being followed:
  // the program holds the file from then on.
  bool Following() {
    while (err_.find("pellinor-log: following ") == std::string::npos)
      if (!ReadSome(errFd_, &err_))
        return false;
    return true;
  }
  // Reads to the end of the output; the program's exit status.
  int Finish() {
    while (ReadSome(fd_, &out_)) {
    }
    while (ReadSome(errFd_, &err_)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Interrupt() { kill(pid_, SIGINT); }
  const std::string& Output() const { return out_; }
  const std::string& Errors() const { return err_; }

 private:
  static bool ReadSome(int fd, std::string* to) {
    char buffer[65536];
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got <= 0)
      return false;
    to->append(buffer, size_t(got));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  int errFd_ = -1;
  std::string err_;
  bool waited_ = false;
  std::string out_;
};

// A drive C for the scenario, its log begun by an earlier session.
class Drive {
 public:
  explicit Drive(const std::string& name) : dir_(fs::path(::testing::TempDir()) / name) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(Log(), std::ios::binary) << EarlierStart();
  }
  ~Drive() { fs::remove_all(dir_); }
  std::string Log(const std::string& suffix = "") const {
    return (dir_ / ("Pellinor.log" + suffix)).string();
  }
  int RunScenario(const std::string& scenario) const {
    std::string runner = PELLINOR_I386_RUNNER;
    std::string command = (runner.empty() ? "" : runner + " ") + PELLINOR_SIM_PROGRAM +
                          " --fresh --drive " + dir_.string() + " " + SourcePath(scenario) + " > " +
                          (dir_ / "transcript.txt").string() + " 2>&1";
    return WEXITSTATUS(std::system(command.c_str()));
  }
  std::string Transcript() const { return ReadFile((dir_ / "transcript.txt").string()); }

 private:
  fs::path dir_;
};

std::string RunLog(std::vector<std::string> args, const std::vector<std::string>& files) {
  args.insert(args.end(), files.begin(), files.end());
  std::istringstream in;
  std::ostringstream out, err;
  pellinorlog::LogCommand command;
  command.Run(args, in, out, err);
  return out.str();
}

// "(FILE:LINE)" without the file's name: the follower names a file as it
// was called when it read it, and rotations have renamed it since.
std::string WithoutFileNames(std::string text) {
  for (size_t at = text.find("  ("); at != std::string::npos; at = text.find("  (", at + 1)) {
    size_t colon = text.find(':', at);
    size_t close = text.find(')', at);
    if (colon != std::string::npos && close != std::string::npos && colon < close &&
        text.find('\n', at) > close)
      text.erase(at + 3, colon - at - 3);
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text, const std::string& containing) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(containing) != std::string::npos)
      lines.push_back(line);
  return lines;
}

TEST(Follow, AScenarioWritingTheLogAcrossRotations) {
  Drive drive("follow-live");
  // --blocks with grep's filters, and the progress with and without one.
  const std::vector<std::vector<std::string>> blockFilters = {
      {}, {"--appl", "1"}, {"--appl", "2", "--command", "DATA_B3"}, {"--plci", "0x0003"}};
  std::vector<std::unique_ptr<Follower>> blocks;
  for (const std::vector<std::string>& filter : blockFilters) {
    std::vector<std::string> args = {"--blocks", "--until-stop"};
    args.insert(args.end(), filter.begin(), filter.end());
    args.push_back(drive.Log());
    blocks.push_back(std::make_unique<Follower>(args));
  }
  Follower progress({"--until-stop", drive.Log()});
  Follower progress2({"--until-stop", "--appl", "2", drive.Log()});
  // Every follower holds the log (part 1) before the driver writes to it.
  for (auto& f : blocks) ASSERT_TRUE(f->Following()) << f->Errors();
  ASSERT_TRUE(progress.Following());
  ASSERT_TRUE(progress2.Following());
  ASSERT_EQ(drive.RunScenario("tests/follow/rotation.pel"), 0) << drive.Transcript();
  const std::vector<std::string> generations = {drive.Log(".old.2"), drive.Log(".old"),
                                                drive.Log()};
  for (const std::string& g : generations) ASSERT_TRUE(fs::exists(g)) << g;

  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(blocks[i]->Finish(), 0) << blocks[i]->Errors();
    // Rotated twice while it read.
    EXPECT_NE(blocks[i]->Errors().find(" was rotated; reading on in " + drive.Log() + "\n"),
              std::string::npos)
        << blocks[i]->Errors();
    std::vector<std::string> grep = {"grep"};
    grep.insert(grep.end(), blockFilters[i].begin(), blockFilters[i].end());
    std::string expected = RunLog(grep, generations);
    EXPECT_FALSE(expected.empty());
    EXPECT_TRUE(blocks[i]->Output() == expected)
        << "follow printed " << blocks[i]->Output().size() << " bytes, grep " << expected.size();
  }

  // The progress: the errors as `errors` prints them, each call's end.
  EXPECT_EQ(progress.Finish(), 0);
  const std::string& live = progress.Output();
  std::string errors = RunLog({"errors"}, generations);
  std::string errorLines;
  std::istringstream in(live);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 5, "2003-") != 0)
      continue;
    std::string why;
    std::getline(in, why);
    errorLines += line + "\n" + why + "\n";
  }
  EXPECT_EQ(WithoutFileNames(errorLines + "2 errors, 0 records lost\n"), WithoutFileNames(errors));
  EXPECT_EQ(Lines(live, "  call ended after ").size(), 3u) << live;
  EXPECT_EQ(Lines(live, "  log continued: part ").size(), 2u) << live;
  EXPECT_EQ(Lines(live, "  Stop Tracing").size(), 1u) << live;
  // With --appl 2: the lines of ApplID 2's calls, nothing else of them.
  EXPECT_EQ(progress2.Finish(), 0);
  EXPECT_EQ(Lines(progress2.Output(), "  appl "), Lines(live, "  appl 2  "));
  EXPECT_FALSE(Lines(live, "  appl 2  ").empty());
}

// Ctrl-C ends following: what was read is out, and the exit status is 0.
TEST(Follow, CtrlCEndsIt) {
  Drive drive("follow-interrupt");
  Follower follower({drive.Log()});
  // Its last block is out after the writer's pause.
  ASSERT_TRUE(follower.ReadUntil("Start Tracing"));
  follower.Interrupt();
  EXPECT_EQ(follower.Finish(), 0);
  EXPECT_EQ(follower.Output(),
            "              session 1: device \"CAPI201\", driver built (build date)\n"
            "14:03:07.373  Start Tracing: CAPI functions YES, CAPI messages YES, "
            "MaxDataB3Bytes 32, ManuMessages YES, UserMode YES\n");
}

}  // namespace
