#include "tools/pellinor-log/LogInput.h"

#include "tools/pellinor-log/LogReader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <istream>
#include <iterator>

#if PELLINOR_HAVE_ZLIB
#include <zlib.h>
#endif

namespace pellinorlog {
namespace {

// Windows-1252's characters in 0x80 to 0x9F, by their Unicode code points
// (0: none): an editor that read the log as the system's code page and
// saved it as Unicode turned these bytes into them.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
static_assert(sizeof(kCp1252High) / sizeof(kCp1252High[0]) == 32, "0x80 to 0x9F");

char ByteOf(uint32_t codePoint) {
  if (codePoint < 0x100)
    return char(codePoint);
  for (size_t i = 0; i < 32; ++i)
    if (kCp1252High[i] == codePoint)
      return char(0x80 + i);
  return '?';
}

std::string FromUtf16(std::string_view bytes, bool littleEndian) {
  std::string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t unit = littleEndian ? uint8_t(bytes[i]) | uint32_t(uint8_t(bytes[i + 1])) << 8
                                 : uint32_t(uint8_t(bytes[i])) << 8 | uint8_t(bytes[i + 1]);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size())
      i += 2;  // a surrogate pair: one character, none the driver writes
    text.push_back(unit >= 0xD800 && unit < 0xE000 ? '?' : ByteOf(unit));
  }
  return text;
}

std::string FromUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    uint8_t b = uint8_t(bytes[i]);
    size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 1;
    if (b < 0x80 || n == 1 || i + n > bytes.size()) {
      text.push_back(char(b));  // not UTF-8: the byte as it is
      ++i;
      continue;
    }
    uint32_t cp = b & (0x7F >> n);
    bool good = true;
    for (size_t k = 1; k < n; ++k) {
      uint8_t c = uint8_t(bytes[i + k]);
      good = good && (c & 0xC0) == 0x80;
      cp = cp << 6 | (c & 0x3F);
    }
    if (!good) {
      text.push_back(char(b));
      ++i;
      continue;
    }
    text.push_back(ByteOf(cp));
    i += n;
  }
  return text;
}

// Text whose characters all have a zero byte beside them: UTF-16 saved
// without a byte-order mark. Logs begin with ASCII, so the first few
// characters tell.
bool LooksLikeUtf16(std::string_view b, bool* littleEndian) {
  if (b.size() < 8)
    return false;
  bool le = true;
  bool be = true;
  for (size_t i = 0; i < 8; i += 2) {
    le = le && b[i] != 0 && b[i + 1] == 0;
    be = be && b[i] == 0 && b[i + 1] != 0;
  }
  *littleEndian = le;
  return le || be;
}

struct Magic {
  const char* bytes;
  size_t size;
  const char* what;
};
constexpr Magic kCompressed[] = {
    {"\x1F\x8B", 2, "gzip-compressed log: decompress it first (gunzip)"},
    {"PK\x03\x04", 4, "zip archive, not a log: unpack it first (unzip)"},
    {"\xFD" "7zXZ\0", 6, "xz-compressed log: decompress it first (unxz)"},
    {"BZh", 3, "bzip2-compressed log: decompress it first (bunzip2)"},
    {"\x28\xB5\x2F\xFD", 4, "zstd-compressed log: decompress it first (unzstd)"},
};
static_assert(sizeof(kCompressed) / sizeof(kCompressed[0]) == 5, "the formats told apart");

#if PELLINOR_HAVE_ZLIB
// Every member of a gzip file, one after another, as gunzip writes them.
bool Gunzip(std::string_view bytes, std::string* text, std::string* error) {
  z_stream z;
  std::memset(&z, 0, sizeof(z));
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
    *error = "gzip-compressed log: cannot start decompressing it";
    return false;
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = uInt(bytes.size());
  char chunk[1 << 16];
  int result = Z_OK;
  while (true) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof(chunk);
    result = inflate(&z, Z_NO_FLUSH);
    text->append(chunk, sizeof(chunk) - z.avail_out);
    if (result == Z_STREAM_END && z.avail_in != 0) {
      inflateReset(&z);  // the next member
      continue;
    }
    if (result != Z_OK)
      break;
    if (z.avail_in == 0 && z.avail_out != 0) {
      result = Z_BUF_ERROR;  // the input ended inside a member
      break;
    }
  }
  inflateEnd(&z);
  if (result != Z_STREAM_END) {
    *error = result == Z_BUF_ERROR ? "gzip-compressed log, cut off: gunzip -c gives what there is"
                                   : "gzip-compressed log, damaged: it does not decompress";
    return false;
  }
  return true;
}
#endif

class NoSink : public LogSink {
 public:
  void OnRecord(const LogRecord&, std::string_view) override {}
};

bool AnyLineUnderstood(std::string_view text, bool* anyText) {
  NoSink sink;
  LogReader reader(sink);
  reader.Read(text);
  const ReadStats& s = reader.Stats();
  *anyText = s.lines > s.emptyLines;
  return s.lines > s.emptyLines + s.unknownLines;
}

}  // namespace

bool LogInput::LooksLikeLog(std::string_view text) {
  constexpr size_t kPrefix = 64 * 1024;
  bool anyText = false;
  if (text.size() > kPrefix) {
    std::string_view prefix = text.substr(0, kPrefix);
    size_t end = prefix.rfind('\n');
    if (end != std::string_view::npos && AnyLineUnderstood(prefix.substr(0, end + 1), &anyText))
      return true;
  }
  return AnyLineUnderstood(text, &anyText) || !anyText;
}

bool LogInput::Open(const std::string& name, std::istream& in, std::string* error) {
  if (name == "-") {
    stdin_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return Prepare(name, stdin_, error);
  }
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    *error = "cannot read " + name + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "cannot read " + name + ": it is a directory";
    return false;
  }
  errno = 0;
  if (!mapped_.Open(name)) {
    *error = "cannot read " + name + (errno != 0 ? ": " + std::string(std::strerror(errno)) : "");
    return false;
  }
  return Prepare(name, mapped_.Text(), error);
}

bool LogInput::Prepare(const std::string& name, std::string_view bytes, std::string* error) {
  text_ = bytes;
  for (const Magic& m : kCompressed) {
    if (bytes.size() < m.size || std::memcmp(bytes.data(), m.bytes, m.size) != 0)
      continue;
#if PELLINOR_HAVE_ZLIB
    if (m.bytes[0] == '\x1F') {
      std::string why;
      if (!Gunzip(bytes, &input_, &why)) {
        *error = name + ": " + why;
        return false;
      }
      converted_ = "gzip";
      return PrepareText(name, input_, error);
    }
#endif
    *error = name + ": " + m.what;
    return false;
  }
  return PrepareText(name, bytes, error);
}

bool LogInput::PrepareText(const std::string& name, std::string_view bytes, std::string* error) {
  text_ = bytes;
  std::string encoding;
  bool littleEndian = false;
  if (bytes.size() >= 2 && (std::memcmp(bytes.data(), "\xFF\xFE", 2) == 0 ||
                            std::memcmp(bytes.data(), "\xFE\xFF", 2) == 0)) {
    owned_ = FromUtf16(bytes.substr(2), bytes[0] == '\xFF');
    encoding = bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE";
  } else if (LooksLikeUtf16(bytes, &littleEndian)) {
    owned_ = FromUtf16(bytes, littleEndian);
    encoding = littleEndian ? "UTF-16LE" : "UTF-16BE";
  } else if (bytes.size() >= 3 && std::memcmp(bytes.data(), "\xEF\xBB\xBF", 3) == 0) {
    owned_ = FromUtf8(bytes.substr(3));
    encoding = "UTF-8";
  }
  if (!encoding.empty()) {
    text_ = owned_;
    converted_ += (converted_.empty() ? "" : ", ") + encoding;
  }

  // The driver writes no zero byte. A run of them at the end is a file the
  // system had grown before it stopped; anywhere else the file is no text.
  size_t end = text_.size();
  while (end > 0 && text_[end - 1] == '\0') --end;
  const void* zero = std::memchr(text_.data(), 0, end);
  if (zero != nullptr) {
    *error = name + ": binary data, not a text log (a zero byte at offset " +
             std::to_string(static_cast<const char*>(zero) - text_.data()) + ")";
    return false;
  }
  trailingZeros_ = text_.size() - end;
  text_ = text_.substr(0, end);
  if (!LooksLikeLog(text_)) {
    *error = name + ": not a trace log: none of its lines is one the driver writes";
    return false;
  }
  return true;
}

}  // namespace pellinorlog
