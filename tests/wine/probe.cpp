// lumatrice-probe MODULE CASES OUTDIR: a small host that loads the module,
// checks its exports, dumps its string table, dialog 101 and version record,
// measures the font cell, and applies the effect to in-memory frames, one
// per case of the CASES file, writing each frame (PAM, RGBA 16-bit), the rows
// the effect wrote and its drawing calls. Built for Windows (run under Wine)
// and for Linux from this same file; probe_compare checks the two outputs.
//
// CASES: "scene PATH" once, then per case "case NAME WIDTH HEIGHT FRAME
// [slate]" followed by "Internal Name=value" lines (switches 0/1, texts).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "bitmap_storage.h"
#include "host_api.h"
#include "probe.h"

namespace probe {
std::vector<std::string>* drawing_log = nullptr;
UINT text_align = TA_LEFT | TA_TOP;
}  // namespace probe

namespace {

constexpr ULONG kHostSdkVersion = 0x10680800;
constexpr BMM_Color_64 kBackground{0x1234, 0x5678, 0x9ABC, 0x8000};
constexpr int kStringBufferSize = 256;

struct Case {
  std::string name;
  int width = 0, height = 0, frame = 0;
  bool slate = false;
  std::vector<std::pair<std::string, std::string>> params;
};

// The frame store the effect writes into; remembers which rows it wrote.
class RecordingStorage : public RGBA16Storage {
 public:
  RecordingStorage(int w, int h) : RGBA16Storage(w, h), written_(std::size_t(h > 0 ? h : 0), 0) {}
  int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) override {
    {
      std::lock_guard lock(mutex_);
      if (y >= 0 && y < Height()) written_[std::size_t(y)] = 1;
    }
    return RGBA16Storage::PutPixels(x, y, count, ptr);
  }
  const std::vector<char>& Written() const { return written_; }

 private:
  std::mutex mutex_;
  std::vector<char> written_;
};

class NoAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

bool ReadCases(const std::string& path, std::string& scene, std::vector<Case>& cases) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("scene ", 0) == 0) {
      scene = line.substr(6);
    } else if (line.rfind("case ", 0) == 0) {
      Case c;
      std::istringstream words(line.substr(5));
      std::string flag;
      words >> c.name >> c.width >> c.height >> c.frame >> flag;
      c.slate = flag == "slate";
      cases.push_back(c);
    } else if (auto eq = line.find('='); eq != std::string::npos && !cases.empty()) {
      cases.back().params.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    } else {
      return false;
    }
  }
  return true;
}

bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

bool WritePam(const std::string& path, RGBA16Storage& frame) {
  std::ofstream out(path, std::ios::binary);
  out << "P7\nWIDTH " << frame.Width() << "\nHEIGHT " << frame.Height()
      << "\nDEPTH 4\nMAXVAL 65535\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  for (int y = 0; y < frame.Height(); ++y) {
    const BMM_Color_64* row = frame.Row(y);
    for (int x = 0; x < frame.Width(); ++x)
      for (WORD v : {row[x].r, row[x].g, row[x].b, row[x].a}) out.put(char(v >> 8)).put(char(v & 0xFF));
  }
  return bool(out);
}

// The cell of ANSI_FIXED_FONT: the opaque box one character draws.
void MeasureCell(int& width, int& height) {
  width = height = 0;
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 64, 64);
  HGDIOBJ old = SelectObject(dc, bitmap);
  SelectObject(dc, GetStockObject(ANSI_FIXED_FONT));
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, RGB(0x3C, 0x3C, 0x3C));
  SetTextAlign(dc, TA_LEFT | TA_TOP);
  TextOutA(dc, 0, 0, "X", 1);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      if (GetPixel(dc, x, y) != 0) {
        if (x + 1 > width) width = x + 1;
        if (y + 1 > height) height = y + 1;
      }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  DeleteDC(screen);
}

bool SetParam(IParamBlock2* block, const std::string& name, const std::string& value) {
  ParamBlockDesc2* desc = block->GetDesc();
  for (int i = 0; i < desc->Count(); ++i) {
    const ParamDef* def = desc->GetParamDef(i);
    if (!def || !def->int_name || name != def->int_name) continue;
    if (def->type == TYPE_STRING) return block->SetValue(def->id, 0, value.c_str());
    return block->SetValue(def->id, 0, value == "1" ? 1 : 0);
  }
  return false;
}

bool RunCase(ClassDesc* cd, const Case& c, const std::string& out) {
  auto* effect = static_cast<Effect*>(cd->Create(FALSE));
  IParamBlock2* block = effect ? effect->GetParamBlock(0) : nullptr;
  if (!block) return false;
  for (auto& [name, value] : c.params)
    if (!SetParam(block, name, value)) {
      std::fprintf(stderr, "%s: no parameter '%s'\n", c.name.c_str(), name.c_str());
      return false;
    }
  if (c.slate) hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);

  RecordingStorage frame(c.width, c.height);
  frame.Fill(kBackground);
  Bitmap bm(&frame);
  NoAbort abort;
  std::vector<std::string> calls;
  probe::drawing_log = &calls;
  effect->Apply(c.frame * hostsdk::TicksPerFrame(), &bm, nullptr, &abort);
  probe::drawing_log = nullptr;
  effect->DeleteThis();
  if (block->NumDependents() == 0) block->DeleteThis();

  std::ofstream log(out + "/" + c.name + ".txt");
  log << "rows";
  for (std::size_t y = 0; y < frame.Written().size(); ++y)
    if (frame.Written()[y]) log << ' ' << y;
  log << '\n';
  for (auto& call : calls) log << call << '\n';
  return bool(log) && WritePam(out + "/" + c.name + ".pam", frame);
}

}  // namespace

namespace probe {

void LogAlign(UINT align) { text_align = align; }

void LogText(int x, int y, LPCSTR text, int length) {
  if (!drawing_log) return;
  std::ostringstream line;
  line << "text " << text_align << ' ' << x << ' ' << y << ' ' << length << ' '
       << std::string(text, std::size_t(length > 0 ? length : 0));
  drawing_log->push_back(line.str());
}

void LogFill(const RECT* r) {
  if (!drawing_log || !r) return;
  std::ostringstream line;
  line << "fill " << r->left << ' ' << r->top << ' ' << r->right << ' ' << r->bottom;
  drawing_log->push_back(line.str());
}

}  // namespace probe

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: lumatrice-probe MODULE CASES OUTDIR\n");
    return 2;
  }
  const std::string out = argv[3];
  std::string scene, error;
  std::vector<Case> cases;
  if (!ReadCases(argv[2], scene, cases)) {
    std::fprintf(stderr, "cannot read cases %s\n", argv[2]);
    return 2;
  }
  probe::Module m;
  if (!probe::LoadModule(argv[1], m, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  ULONG version = m.lib_version();
  ClassDesc* cd = m.lib_number_classes() == 1 ? m.lib_class_desc(0) : nullptr;
  if (version != kHostSdkVersion || !cd || m.lib_class_desc(1)) {
    std::fprintf(stderr, "LibVersion 0x%lx or the class descriptors are not the expected ones\n",
                 static_cast<unsigned long>(version));
    return 1;
  }

  std::ofstream info(out + "/info.txt");
  int cell_w = 0, cell_h = 0;
  MeasureCell(cell_w, cell_h);
  info << "cell " << cell_w << ' ' << cell_h << '\n';
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(version));
  info << "version " << hex << "\ndescription " << m.lib_description() << '\n';
  Class_ID id = cd->ClassID();
  std::snprintf(hex, sizeof hex, "0x%08lx 0x%08lx", static_cast<unsigned long>(id.PartA()),
                static_cast<unsigned long>(id.PartB()));
  info << "class " << cd->ClassName() << " super " << cd->SuperClassID() << " id " << hex
       << " internal " << cd->InternalName() << '\n';
  char text[kStringBufferSize];
  for (UINT sid = 0; sid <= 0xFFFF; ++sid) {
    int n = LoadStringA(m.instance, sid, text, kStringBufferSize);
    if (n > 0) info << "string " << sid << ' ' << n << ' ' << text << '\n';
  }
  // A short buffer cuts the text to max - 1 characters.
  int cut = LoadStringA(m.instance, 30501, text, 4);
  info << "string-cut " << cut << ' ' << text << '\n';
  if (!info || !WriteBytes(out + "/dialog101.bin", probe::ResourceBytes(m.instance, 5, 101)) ||
      !WriteBytes(out + "/version.bin", probe::ResourceBytes(m.instance, 16, 1)))
    return 1;

  hostsdk::SetFrameRate(30);
  hostsdk::SetSceneFilePath(scene.c_str());
  probe::HookDrawing(m.instance);
  probe::PinClock(m.instance, SYSTEMTIME{2026, 12, 1, 7, 9, 5, 3, 0});
  for (const Case& c : cases)
    if (!RunCase(cd, c, out)) {
      std::fprintf(stderr, "case %s failed\n", c.name.c_str());
      return 1;
    }
  return 0;
}
