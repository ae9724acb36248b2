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

TEST(CapiDecode, InvalidMessagesPrintTheTraceTextAndSayWhyOnStandardError) {
  // Standard output holds what the trace prints; why the message is
  // invalid goes to standard error with its line, and the status is 1.
  Result r = Decode({}, "28 00 01 00 02 80 07 00 01 00 00 00\n"
                        "16 00 02 00 86 80 34 12 01 01 01 00 00 00 00 00 04 00 03 00 00 00 41 42\n"
                        "0c 00 01 00\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Error: invalid CAPI message!\n"
            "28 00 01 00 02 80 07 00 - 01 00 00 00 .. .. .. ..   ................\n"
            "Error: invalid CAPI message!\n"
            "16 00 02 00 86 80 34 12 - 01 01 01 00 00 00 00 00   ......4.........\n"
            "04 00 03 00 00 00 .. .. - .. .. .. .. .. .. .. ..   ................\n"
            "Error: invalid CAPI message!\n"
            "0C 00 01 00 .. .. .. .. - .. .. .. .. .. .. .. ..   ................\n");
  EXPECT_EQ(r.err,
            "capidecode: <stdin>:1: invalid CAPI message: total length 40 with 12 bytes\n"
            "capidecode: <stdin>:2: invalid CAPI message: DataLength 4 with 2 payload bytes\n"
            "capidecode: <stdin>:3: invalid CAPI message: 4 bytes, less than the 12-byte "
            "message header\n");
}

// The dumps users have: od, xxd and hexdump -C with offsets, the trace's own
// dump lines, C arrays with 0x and comments, a byte-order mark, UTF-16.
TEST(CapiDecode, ReadsDumpsOverSeveralLines) {
  const std::string disconnectResp =
      "DISCONNECT_RESP               12 Byte  ApplID: 1   MsgNr: 1\n"
      "  Controller/PLCI/NCCI            = 0x00000101\n";
  for (const std::string& input : std::vector<std::string>{
           // od -A x -t x1, with od's closing offset
           "000000 0c 00 01 00 04 83 01 00\n000008 01 01 00 00\n00000c\n",
           // od -t x1: octal offsets
           "0000000 0c 00 01 00 04 83 01 00\n0000010 01 01 00 00\n0000014\n",
           // od -A x -t x1z: the characters between > and <
           "000000 0c 00 01 00 04 83 01 00 01 01 00 00              >....#..<\n",
           // xxd: groups of two bytes, then the characters (which may look like hex)
           "00000000: 0c00 0100 0483 0100  ...abcd\n00000008: 0101 0000            ab01\n",
           // hexdump -C, with its double blank after eight bytes
           "00000000  0c 00 01 00 04 83 01 00  01 01 00 00              |..  0c..|\n0000000c\n",
           // the trace's raw dump, several lines while they are full
           "0C 00 01 00 04 83 01 00 - 01 01 00 00 .. .. .. ..   ............\n",
           // a C array with a trailing comment, after a UTF-8 byte-order mark
           "\xEF\xBB\xBF{0x0c, 0x00, 0x01, 0x00, 0x04, 0x83, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00}"
           "  # DISCONNECT_RESP\n",
       }) {
    Result r = Decode({}, input);
    EXPECT_EQ(r.status, 0) << input;
    EXPECT_EQ(r.err, "") << input;
    EXPECT_EQ(r.out, disconnectResp) << input;
  }
  // UTF-16 as a Windows editor saves it, either byte order.
  for (bool littleEndian : {true, false}) {
    std::string wide = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : std::string("0c 00 01 00 04 83 01 00 01 01 00 00\r\n"))
      wide += littleEndian ? std::string{c, '\0'} : std::string{'\0', c};
    Result r = Decode({}, wide);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, disconnectResp);
  }

  // A message of 32 bytes is two full dump lines; the next line starts anew.
  Result joined = Decode(
      {"--b3bytes", "0"},
      "16 00 02 00 86 80 34 12 - 01 01 01 00 00 00 00 00   ......4.........\n"
      "05 00 03 00 00 00 41 42 - 43 44 45 .. .. .. .. ..   ......ABCDE.....\n"
      "0C 00 01 00 04 83 01 00 - 01 01 00 00 .. .. .. ..   ............\n");
  EXPECT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, kDataB3Text + disconnectResp);
  // A long first run followed by other runs is a message, not an offset.
  EXPECT_EQ(Decode({}, "0c000100 04830100 01010000\n").out, disconnectResp);

  // Dumps that cannot be read as they stand are refused with their place.
  Result bad = Decode({}, "0000000 000c 0001 8304 0001 0101 0000\n000000c\n"
                          "000000 0c 00 01 00 04 83 01 00\n000009 01 01 00 00\n"
                          "000019 01 01\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "capidecode: <stdin>:1: column 9: groups of four digits after an od or hexdump "
            "offset are 16-bit words in the machine's byte order; dump single bytes "
            "(od -A x -t x1, hexdump -C or xxd)\n"
            "capidecode: <stdin>:3: invalid CAPI message: 8 bytes, less than the 12-byte message "
            "header\n"
            "capidecode: <stdin>:4: column 1: offset 000009 does not follow the 8 bytes before "
            "it\n");
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
                            "0c 00 \x01\n"  // line 6
                            + kDataB3Line);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "capidecode: <stdin>:2: column 34: a byte needs two hexadecimal digits\n"
            "capidecode: <stdin>:4: column 8: not a hexadecimal digit: 'g'\n"
            "capidecode: <stdin>:5: no bytes\n"
            "capidecode: <stdin>:6: column 7: not a hexadecimal digit: byte 0x01\n");
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
  // A file that cannot be read is status 2 (a directory too), and the
  // others are still decoded.
  Result r = Decode({"--b3bytes", "0", a, b, "/nonexistent/capidecode.txt", ::testing::TempDir()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "capidecode: " + b + ":2: column 1: not a hexadecimal digit: 'z'\n" +
                       "capidecode: /nonexistent/capidecode.txt: cannot open: No such file or "
                       "directory\n" +
                       "capidecode: " + ::testing::TempDir() + ": is a directory, not a file\n");
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
  std::string err = ::testing::TempDir() + "capidecode_samples.err";
  paths_.push_back(err);
  std::string command = "cd " PELLINOR_SOURCE_DIR " && " + Program() +
                        " samples/messages.txt > " + out + " 2> " + err;
  // The samples end with an invalid message, on purpose.
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << command;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(Slurp(err),
            "capidecode: samples/messages.txt:47: invalid CAPI message: DataLength 100 with 5 "
            "payload bytes\n");
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
  // A directory, and binary data, are no input.
  status = std::system((Program() + " " + ::testing::TempDir() + " > " + err + " 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(Slurp(err), "capidecode: " + ::testing::TempDir() + ": is a directory, not a file\n");
  status = std::system((Program() + " " + Program().substr(Program().rfind(' ') + 1) +
                        " > /dev/null 2> " + err)
                           .c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(Slurp(err).find(": binary data, not text"), std::string::npos) << Slurp(err);
}

}  // namespace
