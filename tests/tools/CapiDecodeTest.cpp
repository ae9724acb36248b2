#include "tools/capidecode/CapiDecode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result Decode(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  int status = capidecode::Run(args, in, out, err);
  return Result{status, out.str(), err.str()};
}

const char kDataB3Line[] =
    "16 00 02 00 86 80 34 12 01 01 01 00 00 00 00 00 05 00 03 00 00 00 41 42 43 44 45\n";
const char kDataB3Text[] =
    "DATA_B3_REQ                   22 Byte  ApplID: 2   MsgNr: 4660\n"
    "  Controller/PLCI/NCCI            = 0x00010101\n"
    "  Data                            = 0x00000000\n"
    "  DataLength                      = 0x0005\n"
    "  DataHandle                      = 0x0003\n"
    "  Flags                           = 0x0000\n";
const char kPayloadLine[] =
    "41 42 43 44 45 .. .. .. - .. .. .. .. .. .. .. ..   ABCDE...........\n";

TEST(CapiDecode, DecodesStandardInputLineByLine) {
  Result r = Decode({}, std::string("# a comment\n\n   \t\n") + kDataB3Line +
                            "  # indented comment\n0c,00:01 00\t04 83 0100 01010000\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, std::string(kDataB3Text) + kPayloadLine +
                       "DISCONNECT_RESP               12 Byte  ApplID: 1   MsgNr: 1\n"
                       "  Controller/PLCI/NCCI            = 0x00000101\n");
}

TEST(CapiDecode, InvalidMessagesPrintTheErrorAndTheRawDump) {
  Result r = Decode({}, "28 00 01 00 02 80 07 00 01 00 00 00\n");
  EXPECT_EQ(r.status, 0);  // a valid line holding an invalid message is no error of capidecode
  EXPECT_EQ(r.out,
            "Error: invalid CAPI message!\n"
            "28 00 01 00 02 80 07 00 - 01 00 00 00 .. .. .. ..   ................\n");
}

TEST(CapiDecode, B3BytesOption) {
  EXPECT_EQ(Decode({"--b3bytes", "0"}, kDataB3Line).out, kDataB3Text);
  EXPECT_EQ(Decode({"--b3bytes", "2"}, kDataB3Line).out,
            std::string(kDataB3Text) +
                "41 42 .. .. .. .. .. .. - .. .. .. .. .. .. .. ..   AB..............\n");
  EXPECT_EQ(Decode({"--b3bytes=32"}, kDataB3Line).out, std::string(kDataB3Text) + kPayloadLine);
  EXPECT_EQ(Decode({"--b3bytes", "32"}, kDataB3Line).status, 0);
}

TEST(CapiDecode, CrLfLineEnds) {
  Result r = Decode({"--crlf"}, std::string(kDataB3Line));
  std::string expected;
  for (char c : std::string(kDataB3Text) + kPayloadLine) {
    if (c == '\n')
      expected += '\r';
    expected += c;
  }
  EXPECT_EQ(r.out, expected);
  // Input lines may end in CR LF as well.
  EXPECT_EQ(Decode({}, "0c 00 01 00 04 83 01 00 01 01 00 00\r\n").status, 0);
}

TEST(CapiDecode, BadOptionsGiveUsageAndStatusTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--b3bytes", "33"},
                                             {"--b3bytes", "-1"},
                                             {"--b3bytes", "x"},
                                             {"--b3bytes", ""},
                                             {"--b3bytes", "007"},
                                             {"--b3bytes"},
                                             {"--b3bytes=40"},
                                             {"--crlf", "--verbose"},
                                             {"-x"}}) {
    Result r = Decode(args, kDataB3Line);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_NE(r.err.find("usage: capidecode [--b3bytes N] [--crlf] [FILE...]\n"),
              std::string::npos);
  }
  Result help = Decode({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: capidecode", 0), 0u);
}

TEST(CapiDecode, BadLinesAreReportedAndSkipped) {
  Result r = Decode({}, std::string("0c 00 01 00 04 83 01 00 01 01 00 00\n") +
                            "0c 00 01 00 04 83 01 00 01 01 00 0\n"  // line 2: half a byte
                            "# fine\n"
                            "0c 00 0g\n"  // line 4: not hex
                            ", : ,\n"     // line 5: no bytes
                            "0x0c\n"      // line 6
                            + kDataB3Line);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "capidecode: <stdin>:2: column 34: a byte needs two hexadecimal digits\n"
            "capidecode: <stdin>:4: column 8: not a hexadecimal digit: 'g'\n"
            "capidecode: <stdin>:5: no bytes\n"
            "capidecode: <stdin>:6: column 2: not a hexadecimal digit: 'x'\n");
  // The good lines are still decoded, and nothing else is printed.
  EXPECT_EQ(r.out,
            "DISCONNECT_RESP               12 Byte  ApplID: 1   MsgNr: 1\n"
            "  Controller/PLCI/NCCI            = 0x00000101\n" +
                std::string(kDataB3Text) + kPayloadLine);
}

class CapiDecodeFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = ::testing::TempDir() + "capidecode_" + name;
    std::ofstream(path, std::ios::binary) << text;
    paths_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& p : paths_) std::remove(p.c_str());
  }
  std::vector<std::string> paths_;
};

TEST_F(CapiDecodeFiles, FilesInOrderWithTheirNamesInErrors) {
  std::string a = Write("a.txt", kDataB3Line);
  std::string b = Write("b.txt", "# b\nzz\n0c 00 01 00 04 83 01 00 01 01 00 00\n");
  Result r = Decode({"--b3bytes", "0", a, b, "/nonexistent/capidecode.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "capidecode: " + b + ":2: column 1: not a hexadecimal digit: 'z'\n" +
                       "capidecode: /nonexistent/capidecode.txt: cannot open\n");
  EXPECT_EQ(r.out, std::string(kDataB3Text) +
                       "DISCONNECT_RESP               12 Byte  ApplID: 1   MsgNr: 1\n"
                       "  Controller/PLCI/NCCI            = 0x00000101\n");
  // "-" reads standard input among the files.
  Result mixed = Decode({a, "-"}, "0c 00 01 00 04 83 01 00 01 01 00 00\n");
  EXPECT_EQ(mixed.status, 0);
  EXPECT_EQ(mixed.out.rfind(kDataB3Text, 0), 0u);
  EXPECT_NE(mixed.out.find("DISCONNECT_RESP"), std::string::npos);
}

// The built program, run as a user runs it (under the i386 runner where
// the kernel needs one).
std::string Program() {
  std::string runner = CAPIDECODE_RUNNER;
  return (runner.empty() ? "" : runner + " ") + CAPIDECODE_PROGRAM;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(CapiDecodeFiles, ProgramDecodesTheBundledSamples) {
  std::string out = ::testing::TempDir() + "capidecode_samples.out";
  paths_.push_back(out);
  std::string command = Program() + " " + PELLINOR_SOURCE_DIR "/samples/messages.txt > " + out;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(Slurp(out), Slurp(PELLINOR_SOURCE_DIR "/tests/tools/samples.expected"));
}

TEST_F(CapiDecodeFiles, ProgramExitStatuses) {
  std::string input = Write("bad.txt", "0c 00 01 00 04 83 01 00 01 01 00 00\nnot hex\n");
  std::string err = ::testing::TempDir() + "capidecode_bad.err";
  paths_.push_back(err);
  int status = std::system((Program() + " --crlf " + input + " > /dev/null 2> " + err).c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(Slurp(err), "capidecode: " + input + ":2: column 1: not a hexadecimal digit: 'n'\n");
  status = std::system((Program() + " --b3bytes 99 < /dev/null 2> /dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
