// The scene file's JSON: reading with located messages, stable writing,
// atomic saves.
#include "scene_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "clock.h"
#include "frame_size.h"
#include "unique_file.h"

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

using hostsdk::TimeDisplay;

struct Fault {
  std::string text;
};

// Reading a field with a message that says where and what was wrong.
class Reader {
 public:
  explicit Reader(std::string label) : label_(std::move(label)) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw Fault{label_ + ": " + where + ": " + what};
  }

  static const char* Kind(const Json& v) {
    if (v.is_null()) return "null";
    if (v.is_boolean()) return "true/false";
    if (v.is_number()) return "a number";
    if (v.is_string()) return "a text";
    if (v.is_array()) return "a list";
    return "an object";
  }

  void Expect(bool ok, const std::string& where, const char* want, const Json& got) const {
    if (!ok) Fail(where, std::string("expected ") + want + ", found " + Kind(got));
  }

  void OnlyKeys(const Json& obj, const std::string& where,
                std::initializer_list<const char*> allowed) const {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      bool known = false;
      for (const char* a : allowed) known = known || it.key() == a;
      if (!known) Fail(where, "unknown field \"" + it.key() + "\"");
    }
  }

  std::int64_t Int(const Json& v, const std::string& where) const {
    Expect(v.is_number_integer(), where, "a whole number", v);
    return v.get<std::int64_t>();
  }

  std::string Text(const Json& v, const std::string& where) const {
    Expect(v.is_string(), where, "a text", v);
    return v.get<std::string>();
  }

  // "0x1090", "4240" or 4240.
  std::uint32_t Word(const Json& v, const std::string& where) const {
    if (v.is_number_integer()) {
      const auto n = v.get<std::int64_t>();
      if (n < 0 || n > 0xFFFFFFFFll) Fail(where, "value out of range for 32 bits");
      return std::uint32_t(n);
    }
    Expect(v.is_string(), where, "a number or \"0x...\" text", v);
    const std::string s = v.get<std::string>();
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || *end || errno || n > 0xFFFFFFFFull || s[0] == '-')
      Fail(where, "\"" + s + "\" is not a 32-bit number");
    return std::uint32_t(n);
  }

 private:
  std::string label_;
};

void LineColumn(const std::string& text, std::size_t byte, std::size_t& line, std::size_t& col) {
  line = 1;
  col = 1;
  for (std::size_t i = 0; i < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      col = 1;
    } else {
      ++col;
    }
  }
}

SceneSettings ReadSettings(const Reader& r, const Json& s) {
  SceneSettings out;
  const std::string at = "settings";
  r.Expect(s.is_object(), at, "an object", s);
  r.OnlyKeys(s, at, {"frame_rate", "time_display", "scene_path", "clock", "frames", "size"});
  if (s.contains("frame_rate")) {
    const auto fps = r.Int(s["frame_rate"], at + ".frame_rate");
    if (fps <= 0 || fps > hostsdk::kTicksPerSecond || hostsdk::kTicksPerSecond % fps != 0)
      r.Fail(at + ".frame_rate", "must divide 4800 (e.g. 24, 25, 30, 60)");
    out.frame_rate = int(fps);
  }
  if (s.contains("time_display")) {
    const std::string mode = r.Text(s["time_display"], at + ".time_display");
    if (!ParseTimeDisplay(mode, out.time_display))
      r.Fail(at + ".time_display",
             "\"" + mode + "\" is not one of frames, smpte, frame:ticks, mm:ss:ticks");
  }
  if (s.contains("scene_path")) out.scene_path = r.Text(s["scene_path"], at + ".scene_path");
  if (s.contains("clock") && !s["clock"].is_null()) {
    out.clock = r.Text(s["clock"], at + ".clock");
    SYSTEMTIME st;
    std::string why;
    if (!out.clock.empty() && !ParseClock(out.clock, st, why)) r.Fail(at + ".clock", why);
  }
  if (s.contains("frames")) out.frames = r.Text(s["frames"], at + ".frames");
  if (s.contains("size")) {
    const std::string size = r.Text(s["size"], at + ".size");
    int w = 0, h = 0;
    std::string why;
    if (!size.empty() && !ParseFrameSize(size, w, h, why)) r.Fail(at + ".size", why);
    out.width = w;
    out.height = h;
  }
  return out;
}

EffectEntry ReadEntry(const Reader& r, const Json& e, const std::string& at) {
  EffectEntry out;
  out.where = at;
  r.Expect(e.is_object(), at, "an object", e);
  r.OnlyKeys(e, at,
             {"class_name", "class_id", "superclass_id", "data_base64", "data_hex",
              "reference_0"});
  if (!e.contains("class_id")) r.Fail(at, "missing \"class_id\"");
  if (!e.contains("superclass_id")) r.Fail(at, "missing \"superclass_id\"");
  const Json& id = e["class_id"];
  if (!id.is_array() || id.size() != 2)
    r.Fail(at + ".class_id", "expected a list of two 32-bit numbers");
  out.class_a = r.Word(id[0], at + ".class_id[0]");
  out.class_b = r.Word(id[1], at + ".class_id[1]");
  out.superclass = r.Word(e["superclass_id"], at + ".superclass_id");
  if (e.contains("class_name")) out.class_name = r.Text(e["class_name"], at + ".class_name");
  if (e.contains("data_base64") && e.contains("data_hex"))
    r.Fail(at, "both \"data_base64\" and \"data_hex\"; give one");
  if (e.contains("data_base64")) {
    if (!Base64Decode(r.Text(e["data_base64"], at + ".data_base64"), out.data))
      r.Fail(at + ".data_base64", "not valid base64");
    out.encoding = DataEncoding::Base64;
  } else if (e.contains("data_hex")) {
    if (!HexDecode(r.Text(e["data_hex"], at + ".data_hex"), out.data))
      r.Fail(at + ".data_hex", "not valid hex");
    out.encoding = DataEncoding::Hex;
  }
  if (e.contains("reference_0")) {
    const Json& ref = e["reference_0"];
    const std::string rat = at + ".reference_0";
    r.Expect(ref.is_object(), rat, "an object", ref);
    r.OnlyKeys(ref, rat, {"block_id", "parameters"});
    if (ref.contains("block_id")) {
      const auto b = r.Int(ref["block_id"], rat + ".block_id");
      if (b < -32768 || b > 32767) r.Fail(rat + ".block_id", "out of range for 16 bits");
      out.block_id = int(b);
    }
    if (ref.contains("parameters")) {
      r.Expect(ref["parameters"].is_object(), rat + ".parameters", "an object",
               ref["parameters"]);
      out.parameters = ref["parameters"];
    }
  }
  out.raw = e;
  return out;
}

}  // namespace

const char* TimeDisplayName(TimeDisplay mode) {
  switch (mode) {
    case TimeDisplay::Frames: return "frames";
    case TimeDisplay::SMPTE: return "smpte";
    case TimeDisplay::FrameTicks: return "frame:ticks";
    case TimeDisplay::MMSSTicks: return "mm:ss:ticks";
  }
  return "frames";
}

bool ParseTimeDisplay(const std::string& text, TimeDisplay& mode) {
  for (TimeDisplay m : {TimeDisplay::Frames, TimeDisplay::SMPTE, TimeDisplay::FrameTicks,
                        TimeDisplay::MMSSTicks}) {
    if (text == TimeDisplayName(m)) {
      mode = m;
      return true;
    }
  }
  return false;
}

bool ParseScene(const std::string& text, const std::string& label, SceneDocument& doc,
                std::string& error) {
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::parse_error& e) {
    std::size_t line, col;
    LineColumn(text, e.byte == 0 ? 0 : e.byte - 1, line, col);
    std::string what = e.what();
    // nlohmann's text repeats the position; keep its reason only.
    const auto reason = what.find(": syntax error");
    if (reason != std::string::npos) what = what.substr(reason + 2);
    error = label + ": line " + std::to_string(line) + ", column " + std::to_string(col) +
            ": " + what;
    return false;
  } catch (const Json::exception& e) {
    // Found while taking a value rather than a syntax fault, e.g. a number
    // too large for a double; it carries no position.
    error = label + ": " + e.what();
    return false;
  }
  try {
    Reader r(label);
    SceneDocument out;
    r.Expect(root.is_object(), "top level", "an object", root);
    r.OnlyKeys(root, "top level", {"format_version", "settings", "render_effects"});
    if (!root.contains("format_version")) r.Fail("top level", "missing \"format_version\"");
    const auto version = r.Int(root["format_version"], "format_version");
    if (version < 1 || version > kSceneFormatVersion)
      r.Fail("format_version", "version " + std::to_string(version) +
                                   " is not readable here (this build reads 1 to " +
                                   std::to_string(kSceneFormatVersion) + ")");
    out.format_version = int(version);
    if (root.contains("settings")) out.settings = ReadSettings(r, root["settings"]);
    if (root.contains("render_effects")) {
      const Json& list = root["render_effects"];
      r.Expect(list.is_array(), "render_effects", "a list", list);
      for (std::size_t i = 0; i < list.size(); ++i)
        out.effects.push_back(ReadEntry(r, list[i], "render_effects[" + std::to_string(i) + "]"));
    }
    doc = std::move(out);
    return true;
  } catch (const Fault& f) {
    error = f.text;
    return false;
  }
}

Json EntryToJson(const EffectEntry& entry) {
  Json e = Json::object();
  if (!entry.class_name.empty()) e["class_name"] = entry.class_name;
  char a[16], b[16], s[16];
  std::snprintf(a, sizeof a, "0x%08x", unsigned(entry.class_a));
  std::snprintf(b, sizeof b, "0x%08x", unsigned(entry.class_b));
  std::snprintf(s, sizeof s, "0x%04x", unsigned(entry.superclass));
  e["class_id"] = Json::array({a, b});
  e["superclass_id"] = s;
  if (entry.encoding == DataEncoding::Hex)
    e["data_hex"] = HexEncode(entry.data);
  else
    e["data_base64"] = Base64Encode(entry.data);
  e["reference_0"] = Json{{"block_id", entry.block_id}, {"parameters", entry.parameters}};
  return e;
}

std::string SerializeScene(const SceneDocument& doc, const std::vector<bool>& keep_raw) {
  Json root = Json::object();
  root["format_version"] = kSceneFormatVersion;
  const SceneSettings& s = doc.settings;
  root["settings"] = Json{
      {"frame_rate", s.frame_rate},
      {"time_display", TimeDisplayName(s.time_display)},
      {"scene_path", s.scene_path},
      {"clock", s.clock},
      {"frames", s.frames},
      {"size", s.width > 0 && s.height > 0
                   ? std::to_string(s.width) + "x" + std::to_string(s.height)
                   : std::string()},
  };
  Json list = Json::array();
  for (std::size_t i = 0; i < doc.effects.size(); ++i) {
    const EffectEntry& e = doc.effects[i];
    const bool raw = i < keep_raw.size() && keep_raw[i] && !e.raw.is_null();
    list.push_back(raw ? e.raw : EntryToJson(e));
  }
  root["render_effects"] = std::move(list);
  // Texts are UTF-8 by now; replace rather than throw should one slip by.
  return root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool ReadSceneFile(const std::string& path, SceneDocument& doc, std::string& error) {
  // Not blocking: a FIFO must not hang the open; regular files ignore it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + (errno == ENOENT ? "no such file" : std::strerror(errno));
    return false;
  }
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) != 0) {
    error = path + ": " + std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    error = path + ": is a folder, not a scene file";
  } else if (!S_ISREG(st.st_mode)) {
    error = path + ": is not a regular file (a device, FIFO or socket); scene files must be";
  } else if (st.st_size > kMaxSceneFileBytes) {
    error = path + ": is " + std::to_string(st.st_size) + " bytes; scene files may have at most " +
            std::to_string(kMaxSceneFileBytes) + " (16 MiB)";
  } else {
    // Bounded even should the file grow while it is read.
    text.resize(std::size_t(st.st_size) + 1);
    std::size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = path + ": read error: " + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      got += std::size_t(n);
    }
    if (error.empty() && got > std::size_t(st.st_size))
      error = path + ": grew while it was read; try again once it is written";
    text.resize(got);
  }
  ::close(fd);
  if (!error.empty()) return false;
  return ParseScene(text, path, doc, error);
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error) {
  return ReplaceFileAtomically(path, bytes, 0644, error);
}

std::string Base64Encode(const std::vector<std::uint8_t>& bytes) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = std::uint32_t(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= std::uint32_t(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += abc[(v >> 18) & 63];
    out += abc[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? abc[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? abc[v & 63] : '=';
  }
  return out;
}

bool Base64Decode(const std::string& text, std::vector<std::uint8_t>& bytes) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<std::uint8_t> out;
  if (text.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad) return false;  // data after padding
      v[k] = value(c);
      if (v[k] < 0) return false;
    }
    const std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(std::uint8_t(n >> 16));
    if (pad < 2) out.push_back(std::uint8_t(n >> 8));
    if (pad < 1) out.push_back(std::uint8_t(n));
  }
  bytes = std::move(out);
  return true;
}

std::string HexEncode(const std::vector<std::uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool HexDecode(const std::string& text, std::vector<std::uint8_t>& bytes) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = value(text[i]), lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(std::uint8_t(hi * 16 + lo));
  }
  bytes = std::move(out);
  return true;
}

std::string FormatClassID(std::uint32_t a, std::uint32_t b) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08x:0x%08x", unsigned(a), unsigned(b));
  return buf;
}

}  // namespace lumatrice
