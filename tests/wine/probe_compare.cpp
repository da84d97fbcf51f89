// probe_compare CASES LINUX_OUT WINDOWS_OUT: checks what lumatrice-probe wrote
// for the Linux build of the module against what it wrote for the Windows
// build under Wine. The two must agree on everything but the font: the same
// string table, dialog 101 and version record bytes, the same rows written
// and the same drawing calls per case; and in each build every changed pixel
// must be exactly the union of the boxes the platform's rules give for those
// calls in that build's own font cell, clipped to the raster and the rows
// written, in the box, glyph and slate colours, every other pixel untouched.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Pixel {
  std::uint16_t r, g, b, a;
  bool operator==(const Pixel&) const = default;
};
constexpr Pixel kBackground{0x1234, 0x5678, 0x9ABC, 0x8000};
constexpr Pixel kSlate{0x4000, 0x4000, 0x4000, 0xFFFF};
constexpr std::uint16_t kBox = 0x3C00, kGlyph = 0xFF00;

int failures = 0;

void Fail(const std::string& what) {
  if (++failures <= 40) std::printf("FAIL %s\n", what.c_str());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // written in text mode on Windows
    lines.push_back(line);
  }
  return lines;
}

struct Frame {
  int width = 0, height = 0;
  std::vector<Pixel> pixels;
};

bool ReadPam(const std::string& path, Frame& f) {
  std::string bytes = ReadFile(path);
  std::size_t end = bytes.find("ENDHDR\n");
  if (end == std::string::npos) return false;
  std::istringstream header(bytes.substr(0, end));
  for (std::string key; header >> key;) {
    if (key == "WIDTH") header >> f.width;
    if (key == "HEIGHT") header >> f.height;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + end + 7);
  std::size_t n = std::size_t(f.width) * std::size_t(f.height);
  if (bytes.size() - (end + 7) != n * 8) return false;
  f.pixels.resize(n);
  auto word = [&](std::size_t i) { return std::uint16_t(p[2 * i] << 8 | p[2 * i + 1]); };
  for (std::size_t i = 0; i < n; ++i)
    f.pixels[i] = {word(4 * i), word(4 * i + 1), word(4 * i + 2), word(4 * i + 3)};
  return true;
}

struct Cell {
  int width = 0, height = 0;
};

// What the raster holds after the calls: 0 nothing, 1 slate fill, 2 a text box.
// Text boxes follow the platform's alignment rules: TA_CENTER puts the box's
// left edge at x minus half its width, TA_RIGHT its right edge at x, TA_BOTTOM
// its bottom edge at y.
std::vector<char> Predict(const std::vector<std::string>& calls, Cell cell, int w, int h) {
  std::vector<char> raster(std::size_t(w) * std::size_t(h), 0);
  auto paint = [&](long l, long t, long r, long b, char kind) {
    for (long y = t < 0 ? 0 : t; y < b && y < h; ++y)
      for (long x = l < 0 ? 0 : l; x < r && x < w; ++x) raster[std::size_t(y * w + x)] = kind;
  };
  for (const std::string& call : calls) {
    std::istringstream in(call);
    std::string kind;
    in >> kind;
    if (kind == "fill") {
      long l, t, r, b;
      in >> l >> t >> r >> b;
      paint(l, t, r, b, 1);
    } else if (kind == "text") {
      long align, x, y, length;
      in >> align >> x >> y >> length;
      long box_w = length * cell.width;
      long left = (align & 6) == 6 ? x - box_w / 2 : (align & 2) ? x - box_w : x;
      long top = (align & 8) ? y - cell.height : y;
      paint(left, top, left + box_w, top + cell.height, 2);
    }
  }
  return raster;
}

struct Counts {
  long box = 0, glyph = 0, grey = 0, slate = 0;
};

void CheckFrame(const std::string& label, const Frame& f, const std::vector<char>& raster,
                const std::vector<int>& rows, Counts& counts) {
  std::vector<char> written(std::size_t(f.height), 0);
  for (int y : rows)
    if (y >= 0 && y < f.height) written[std::size_t(y)] = 1;
  int reported = 0;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      std::size_t i = std::size_t(y) * std::size_t(f.width) + std::size_t(x);
      const Pixel& p = f.pixels[i];
      char want = written[std::size_t(y)] ? raster[i] : 0;
      bool ok = true;
      if (want == 0) {
        ok = p == kBackground;
      } else if (want == 1) {
        ok = p == kSlate;
        counts.slate += ok;
      } else {
        // Glyph pixels may be anti-aliased: grey between the box and the glyph.
        ok = p.a == 0xFFFF && p.r == p.g && p.g == p.b && (p.r & 0xFF) == 0 && p.r >= kBox &&
             p.r <= kGlyph;
        counts.box += p.r == kBox;
        counts.glyph += p.r == kGlyph;
        counts.grey += ok && p.r != kBox && p.r != kGlyph;
      }
      if (!ok && reported++ < 3) {
        char text[160];
        std::snprintf(text, sizeof text, "%s pixel %d,%d is %04x %04x %04x %04x, expected %s", label.c_str(),
                      x, y, p.r, p.g, p.b, p.a,
                      want == 0 ? "untouched" : want == 1 ? "slate" : "box or glyph");
        Fail(text);
      }
    }
}

std::vector<int> Rows(const std::string& line) {
  std::vector<int> rows;
  std::istringstream in(line);
  std::string word;
  in >> word;
  for (int y; in >> y;) rows.push_back(y);
  return rows;
}

// Rewrites every UTF-16LE occurrence of `word` in capitals back to `word`.
void UnCapitalise(std::string& bytes, const std::string& word) {
  std::string upper, wanted;
  for (char c : word) {
    upper += char(c >= 'a' && c <= 'z' ? c - 32 : c), upper += '\0';
    wanted += c, wanted += '\0';
  }
  for (std::size_t at = bytes.find(upper); at != std::string::npos; at = bytes.find(upper, at + 1))
    bytes.replace(at, upper.size(), wanted);
}

Cell ReadCell(const std::vector<std::string>& info) {
  Cell c;
  if (!info.empty()) std::sscanf(info[0].c_str(), "cell %d %d", &c.width, &c.height);
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: probe_compare CASES LINUX_OUT WINDOWS_OUT\n");
    return 2;
  }
  const std::string dirs[2] = {argv[2], argv[3]};
  const char* builds[2] = {"linux", "windows"};

  std::vector<std::string> info[2] = {Lines(ReadFile(dirs[0] + "/info.txt")),
                                      Lines(ReadFile(dirs[1] + "/info.txt"))};
  Cell cells[2] = {ReadCell(info[0]), ReadCell(info[1])};
  for (int b = 0; b < 2; ++b) {
    std::printf("%s font cell %dx%d\n", builds[b], cells[b].width, cells[b].height);
    if (cells[b].width <= 0 || cells[b].height <= 0) Fail(std::string(builds[b]) + " has no font cell");
  }
  // Everything after the cell: exports, version, class, every string.
  if (info[0].size() < 2 || std::vector(info[0].begin() + 1, info[0].end()) !=
                                std::vector(info[1].begin() + 1, info[1].end()))
    Fail("module information or string table differ (info.txt)");
  for (const char* name : {"dialog101.bin", "version.bin"}) {
    std::string a = ReadFile(dirs[0] + "/" + name), b = ReadFile(dirs[1] + "/" + name);
    // windres stores the custom control's class name in capitals; class names
    // are matched without regard to case, so that is the one difference allowed.
    if (name[0] == 'd') UnCapitalise(b, "CustEdit");
    if (a.empty() || a != b) Fail(std::string(name) + " differs or is empty");
  }

  std::ifstream cases(argv[1]);
  int count = 0;
  for (std::string line; std::getline(cases, line);) {
    if (line.rfind("case ", 0) != 0) continue;
    std::string name = line.substr(5, line.find(' ', 5) - 5);
    ++count;
    std::vector<std::string> log[2];
    Frame frames[2];
    bool complete = true;
    for (int b = 0; b < 2; ++b) {
      log[b] = Lines(ReadFile(dirs[b] + "/" + name + ".txt"));
      if (log[b].empty() || !ReadPam(dirs[b] + "/" + name + ".pam", frames[b])) {
        Fail(name + ": " + builds[b] + " output missing");
        complete = false;
      }
    }
    if (!complete) continue;
    if (log[0][0] != log[1][0]) Fail(name + ": rows written differ");
    if (log[0] != log[1]) Fail(name + ": drawing calls differ");
    Counts counts[2];
    for (int b = 0; b < 2; ++b) {
      std::vector<std::string> calls(log[b].begin() + 1, log[b].end());
      auto raster = Predict(calls, cells[b], frames[b].width, frames[b].height);
      CheckFrame(name + " " + builds[b], frames[b], raster, Rows(log[b][0]), counts[b]);
    }
    std::printf("%-28s rows %-5zu calls %-2zu  linux box/glyph %ld/%ld  windows box/glyph/grey %ld/%ld/%ld  slate %ld/%ld\n",
                name.c_str(), Rows(log[0][0]).size(), log[0].size() - 1, counts[0].box, counts[0].glyph,
                counts[1].box, counts[1].glyph, counts[1].grey, counts[0].slate, counts[1].slate);
  }
  if (count == 0) Fail("no cases");
  std::printf("%d cases, %d failures\n", count, failures);
  return failures ? 1 : 0;
}
