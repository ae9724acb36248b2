// `cmake --install` of the tools into a fresh prefix: exactly the programs,
// their manual pages and the files the pages name; and each installed
// program answers --version with the release its page carries, and its page
// documents every option its --help lists and no other.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "control/DriverVersion.h"

namespace fs = std::filesystem;

namespace {

const char* const kPrograms[] = {"capidecode", "pellinor-log", "pellinor-sim"};

std::string Slurp(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Outcome {
  int status;
  std::string out;
};

Outcome Shell(const std::string& command, const fs::path& dir) {
  const int status = std::system((command + " > " + (dir / "out").string() + " 2>&1").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir / "out")};
}

// The long options a text names: "--word", with roff's "\-" read as "-".
std::set<std::string> LongOptions(std::string text) {
  text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
  std::set<std::string> options;
  const std::regex option("--[a-z][a-z0-9-]*");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
       it != std::sregex_iterator(); ++it) {
    options.insert(it->str());
  }
  return options;
}

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix = fs::path(::testing::TempDir()) / "pellinor-install";
    fs::remove_all(prefix);
    fs::create_directories(prefix);
    const Outcome install = Shell(std::string(PELLINOR_CMAKE) + " --install " + PELLINOR_BUILD_DIR +
                                  " --prefix " + (prefix / "usr").string(),
                              prefix);
    ASSERT_EQ(install.status, 0) << install.out;
  }

  Outcome Program(const std::string& name, const std::string& args) {
    const std::string runner = PELLINOR_RUNNER;
    return Shell((runner.empty() ? "" : runner + " ") + (prefix / "usr/bin" / name).string() + " " +
                     args,
                 prefix);
  }

  static fs::path prefix;
};

fs::path Installed::prefix;

TEST_F(Installed, ExactlyTheProgramsTheirPagesAndWhatThePagesName) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(prefix / "usr")) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), prefix / "usr").string());
  }
  std::set<std::string> expected = {"share/pellinor/samples/messages.txt"};
  for (const char* program : kPrograms) {
    expected.insert(std::string("bin/") + program);
    expected.insert(std::string("share/man/man1/") + program + ".1");
  }
  for (const auto& entry : fs::directory_iterator(fs::path(PELLINOR_SOURCE_DIR) / "scenarios")) {
    if (entry.path().extension() == ".pel")
      expected.insert("share/pellinor/scenarios/" + entry.path().filename().string());
  }
  EXPECT_EQ(files, expected);
  for (const char* program : kPrograms) {
    const fs::perms perms = fs::status(prefix / "usr/bin" / program).permissions();
    EXPECT_NE(perms & fs::perms::others_exec, fs::perms::none) << program;
  }
}

TEST_F(Installed, EachProgramTellsItsReleaseAndItsPageDocumentsItsOptions) {
  for (const char* program : kPrograms) {
    SCOPED_TRACE(program);
    const Outcome version = Program(program, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.substr(0, version.out.find('\n')),
              std::string(program) + " (Pellinor) " PELLINOR_VERSION);
    EXPECT_TRUE(std::regex_search(version.out, std::regex("\nbuild: \\d\\d:\\d\\d:\\d\\d ")))
        << version.out;

    const std::string page = Slurp(prefix / "usr/share/man/man1" / (std::string(program) + ".1"));
    std::string title = program;
    for (char& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(std::regex_search(
        page, std::regex("\n\\.TH " + title + " 1 \\d{4}-\\d\\d-\\d\\d \"Pellinor " +
                         std::regex_replace(PELLINOR_VERSION, std::regex("\\."), "\\.") + "\"")))
        << "the page's title line names another release";

    const Outcome help = Program(program, "--help");
    EXPECT_EQ(help.status, 0);
    // The page may also name --help, which the usage is.
    std::set<std::string> documented = LongOptions(page);
    documented.erase("--help");
    EXPECT_EQ(LongOptions(help.out), documented) << help.out;
  }
}

}  // namespace
