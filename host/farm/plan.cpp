// Plan files: chunking, chunk commands made from the typed fields, the JSON
// form, and the checks before a plan's commands run.
#include "plan.h"

#include "process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <set>

namespace lumatrice::farm {
namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kPlanVersion = 2;

std::string Plan::ChunkRecord(int index) const {
  return state_dir + "/chunk-" + std::to_string(index) + ".json";
}

namespace {

std::string LowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

bool MoviePlan(const Plan& p) {
  if (p.kind == "blender") return false;
  const std::string ext = LowerExtension(p.output);
  return ext == ".mov" || ext == ".mp4" || ext == ".mkv" || ext == ".mxf";
}

std::string SegmentFile(const Plan& p, const Chunk& c) {
  return p.state_dir + "/segment-" + std::to_string(c.index) +
         (p.movie.intra_only ? fs::path(p.output).extension().string() : ".mkv");
}

long long SegmentPictures(const Plan& p, const Chunk& c) {
  long long n = 0;
  for (int f : p.written) {
    const bool own = std::binary_search(c.frames.begin(), c.frames.end(), f);
    bool in_any = own;
    for (const Chunk& other : p.chunks)
      in_any = in_any || std::binary_search(other.frames.begin(), other.frames.end(), f);
    // A prepended slate is written by the chunk of the frame after it.
    n += own || (!in_any && std::binary_search(c.frames.begin(), c.frames.end(), f + 1));
  }
  return n;
}

std::vector<std::vector<int>> SplitFrames(std::vector<int> frames, int size) {
  std::sort(frames.begin(), frames.end());
  std::vector<std::vector<int>> chunks;
  if (size < 1) size = 1;
  for (std::size_t i = 0; i < frames.size(); i += std::size_t(size))
    chunks.emplace_back(frames.begin() + long(i),
                        frames.begin() + long(std::min(frames.size(), i + std::size_t(size))));
  return chunks;
}

std::string FrameList(const std::vector<int>& frames) {
  std::string out;
  for (std::size_t i = 0; i < frames.size();) {
    std::size_t j = i;
    while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(frames[i]);
    if (j > i) {
      out += '-';
      out += std::to_string(frames[j]);
    }
    i = j + 1;
  }
  return out;
}

std::vector<std::string> ChunkCommand(const std::string& program,
                                      const std::vector<std::string>& globals,
                                      const std::string& kind,
                                      const std::vector<std::string>& args,
                                      const std::vector<int>& frames, int render_start,
                                      const std::string& clock) {
  std::vector<std::string> cmd{program};
  cmd.insert(cmd.end(), globals.begin(), globals.end());
  cmd.push_back(kind);
  static const std::set<std::string> with_value{"--frames", "--render-start", "--clock",
                                                "--farm-segment"};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-q" || a == "--quiet") continue;
    if (with_value.count(a)) {
      ++i;
      continue;
    }
    const auto eq = a.find('=');
    if (eq != std::string::npos && with_value.count(a.substr(0, eq))) continue;
    cmd.push_back(a);
  }
  cmd.insert(cmd.end(), {"--frames", FrameList(frames), "--render-start",
                         std::to_string(render_start), "--clock", clock, "-q"});
  return cmd;
}

namespace {

// nlohmann's text without its "[json.exception...] " tag.
std::string JsonWhy(const std::exception& e) {
  std::string why = e.what();
  if (why.rfind("[json.exception.", 0) == 0 && why.find("] ") != std::string::npos)
    why = why.substr(why.find("] ") + 2);
  return why;
}

// Reads `key` of `j`; a missing or mistyped field is named in the error.
template <class T>
void Field(const Json& j, const std::string& where, const char* key, T& out) {
  const auto it = j.find(key);
  if (it == j.end()) throw std::runtime_error(where + key + ": missing");
  try {
    it->get_to(out);
  } catch (const std::exception& e) {
    throw std::runtime_error(where + key + ": " + JsonWhy(e));
  }
}

// Written by FrameList: comma-separated frames and ranges.
std::vector<int> ParseFrameList(const std::string& list, const std::string& where) {
  std::vector<int> frames;
  std::size_t start = 0;
  while (start < list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    const std::string part = list.substr(start, end - start);
    const std::size_t dash = part.find('-', 1);
    int a = 0, b = 0;
    try {
      a = std::stoi(part.substr(0, dash));
      b = dash == std::string::npos ? a : std::stoi(part.substr(dash + 1));
    } catch (const std::exception&) {
      b = a - 1;
    }
    if (b < a || b - a > 10000000) throw std::runtime_error(where + ": bad frames " + part);
    for (int f = a; f <= b; ++f) frames.push_back(f);
    start = end + 1;
  }
  if (frames.empty()) throw std::runtime_error(where + ": no frames");
  return frames;
}

Json ProgramToJson(const Program& p) {
  return Json{{"path", p.path}, {"size", p.size}, {"mtime_ns", p.mtime_ns}};
}

void ProgramFromJson(const Json& j, const std::string& where, Program& p) {
  Field(j, where, "path", p.path);
  Field(j, where, "size", p.size);
  Field(j, where, "mtime_ns", p.mtime_ns);
}

void ChunksFromJson(const Json& j, Plan& p) {
  p.chunks.clear();
  Json list;
  Field(j, "", "chunks", list);
  if (!list.is_array() || list.empty()) throw std::runtime_error("chunks: none");
  for (const Json& c : list) {
    const std::string where = "chunks[" + std::to_string(p.chunks.size()) + "].";
    Chunk chunk;
    std::string frames;
    Field(c, where, "index", chunk.index);
    Field(c, where, "command", chunk.command);
    Field(c, where, "job", chunk.job);
    Field(c, where, "frames", frames);
    chunk.frames = ParseFrameList(frames, where + "frames");
    if (chunk.index != int(p.chunks.size()))
      throw std::runtime_error(where + "index: " + std::to_string(chunk.index) + " out of order");
    p.chunks.push_back(std::move(chunk));
  }
}

}  // namespace

Status IdentifyProgram(const std::string& path, Program& program) {
  struct stat st {};
  if (path.empty() || path.front() != '/' || ::stat(path.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode))
    return {StatusKind::kNotFound,
            "program " + path + ": " + (path.empty() ? "none" : std::strerror(errno))};
  program.path = path;
  program.size = st.st_size;
  program.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return Status::Ok();
}

Status CheckProgram(const Program& recorded) {
  Program now;
  if (Status s = IdentifyProgram(recorded.path, now); !s) return s;
  if (now.size != recorded.size || now.mtime_ns != recorded.mtime_ns)
    return Status::Failed("program " + recorded.path +
                          " is not the file the plan was made with (size " +
                          std::to_string(now.size) + ", was " + std::to_string(recorded.size) +
                          "; or modified since); submit again with this build");
  return Status::Ok();
}

std::vector<std::string> ChunkArgv(const Plan& p, const Chunk& c) {
  if (p.kind != "blender") {
    std::vector<std::string> globals;
    for (const std::string& d : p.plugins) globals.insert(globals.end(), {"--plugins", d});
    std::vector<std::string> cmd = ChunkCommand(p.lumatrice.path, globals, p.kind, p.args,
                                                c.frames, p.render_start, p.clock);
    if (MoviePlan(p)) cmd.insert(cmd.end() - 1, {"--farm-segment", SegmentFile(p, c)});
    return cmd;
  }
  std::vector<std::string> cmd{p.blender.path, "-b", p.args.empty() ? "" : p.args.front(),
                               "--addons", kBlenderAddon};
  if (!p.args.empty()) cmd.insert(cmd.end(), p.args.begin() + 1, p.args.end());
  cmd.insert(cmd.end(), {"-s", std::to_string(c.frames.front()), "-e",
                         std::to_string(c.frames.back()), "-j", std::to_string(p.step), "-a"});
  return cmd;
}

std::vector<std::string> VerifyArgv(const Plan& p) {
  return {p.lumatrice.path, "verify", p.output, "--frames", FrameList(p.written), "--json"};
}

std::map<std::string, std::string> PlanEnv(const Plan& p) {
  std::map<std::string, std::string> env;
  // Passed on from the submit as they were.
  for (const char* kept : {"LUMATRICE_PLUGIN_PATH", "LUMATRICE_LIBRARY"})
    if (const auto it = p.env.find(kept); it != p.env.end()) env[kept] = it->second;
  if (p.kind == "blender") {
    env["LUMATRICE_CLOCK"] = p.clock;
    env["LUMATRICE_RENDER_START"] = std::to_string(p.render_start);
    env["BLENDER_USER_SCRIPTS"] = p.state_dir + "/blender-scripts";
  }
  return env;
}

void MakeCommands(Plan& p) {
  for (Chunk& c : p.chunks) c.command = ChunkArgv(p, c);
  p.verify = VerifyArgv(p);
  p.env = PlanEnv(p);
}

Json PlanToJson(const Plan& p) {
  Json chunks = Json::array();
  for (const Chunk& c : p.chunks)
    chunks.push_back({{"index", c.index},
                      {"frames", FrameList(c.frames)},
                      {"first", c.frames.front()},
                      {"last", c.frames.back()},
                      {"count", c.frames.size()},
                      {"command", c.command},
                      {"job", c.job}});
  Json j{{"lumatrice_farm_plan", kPlanVersion},
         {"name", p.name},
         {"created", p.created},
         {"workdir", p.workdir},
         {"kind", p.kind},
         {"args", p.args},
         {"lumatrice", ProgramToJson(p.lumatrice)},
         {"plugins", p.plugins},
         {"clock", p.clock},
         {"render_start", p.render_start},
         {"output", p.output},
         {"written", FrameList(p.written)},
         {"files", p.files},
         {"env", p.env},
         {"chunks", std::move(chunks)},
         {"verify", p.verify},
         {"state_dir", p.state_dir},
         {"report", p.ReportFile()},
         {"engine",
          {{"name", p.engine},
           {"partition", p.partition},
           {"report_job", p.report_job},
           {"submissions", p.submissions}}}};
  if (MoviePlan(p))
    j["movie"] = {{"codec", p.movie.codec}, {"profile", p.movie.profile}, {"crf", p.movie.crf},
                  {"intra_only", p.movie.intra_only}};
  if (p.kind == "blender") {
    j["blender"] = ProgramToJson(p.blender);
    j["step"] = p.step;
  }
  return j;
}

Status PlanFromJson(const Json& j, Plan& p) {
  try {
    const int version = j.is_object() ? j.value("lumatrice_farm_plan", 0) : 0;
    if (version != kPlanVersion)
      return {StatusKind::kUnsupported,
              version > 0 && version < kPlanVersion
                  ? "a plan of an older lumatrice (version " + std::to_string(version) +
                        "); submit the job again"
                  : "not a lumatrice farm plan (version " + std::to_string(kPlanVersion) + ")"};
    Field(j, "", "name", p.name);
    Field(j, "", "created", p.created);
    Field(j, "", "workdir", p.workdir);
    Field(j, "", "kind", p.kind);
    if (p.kind != "stamp" && p.kind != "render" && p.kind != "blender")
      throw std::runtime_error("kind: \"" + p.kind + "\" is not stamp, render or blender");
    Field(j, "", "args", p.args);
    ProgramFromJson(j.contains("lumatrice") ? j["lumatrice"] : Json(), "lumatrice.", p.lumatrice);
    Field(j, "", "plugins", p.plugins);
    if (p.kind == "blender") {
      ProgramFromJson(j.contains("blender") ? j["blender"] : Json(), "blender.", p.blender);
      Field(j, "", "step", p.step);
    }
    Field(j, "", "clock", p.clock);
    Field(j, "", "render_start", p.render_start);
    Field(j, "", "output", p.output);
    std::string written;
    Field(j, "", "written", written);
    p.written = ParseFrameList(written, "written");
    Field(j, "", "files", p.files);
    if (MoviePlan(p)) {
      Json m;
      Field(j, "", "movie", m);
      Field(m, "movie.", "codec", p.movie.codec);
      Field(m, "movie.", "profile", p.movie.profile);
      Field(m, "movie.", "crf", p.movie.crf);
      Field(m, "movie.", "intra_only", p.movie.intra_only);
    }
    Field(j, "", "env", p.env);
    Field(j, "", "verify", p.verify);
    Field(j, "", "state_dir", p.state_dir);
    ChunksFromJson(j, p);
    Json e;
    Field(j, "", "engine", e);
    Field(e, "engine.", "name", p.engine);
    Field(e, "engine.", "partition", p.partition);
    Field(e, "engine.", "report_job", p.report_job);
    Field(e, "engine.", "submissions", p.submissions);
  } catch (const std::exception& ex) {
    return {StatusKind::kUnreadable, std::string("damaged: ") + ex.what()};
  }
  return Status::Ok();
}

namespace {

// The commands a plan shows are what its fields make; anything else was
// written by hand, and is refused rather than run.
Status CheckCommands(const Plan& p) {
  const std::string derived = fs::path(p.path).replace_extension().string();
  if (p.state_dir != derived)
    return Status::Failed("state_dir is " + p.state_dir + ", not " + derived);
  for (const Chunk& c : p.chunks) {
    if (c.command != ChunkArgv(p, c))
      return Status::Failed("chunks[" + std::to_string(c.index) +
                            "].command is not the command its fields make");
  }
  if (p.verify != VerifyArgv(p)) return Status::Failed("verify is not the command its fields make");
  if (p.env != PlanEnv(p)) return Status::Failed("env holds variables the farm does not set");
  return Status::Ok();
}

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", unsigned(mode & 07777));
  return buf;
}

}  // namespace

Status CheckPlanTrust(const std::string& path, int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Status::Failed("not a regular file");
  if (st.st_uid != ::geteuid())
    return Status::Failed("it belongs to uid " + std::to_string(st.st_uid) +
                          ", not to you (uid " + std::to_string(::geteuid()) + ")");
  if (st.st_mode & (S_IWGRP | S_IWOTH))
    return Status::Failed("group or others may write it (mode " + Octal(st.st_mode) +
                          "; chmod go-w it)");
  const std::string folder = fs::path(path).parent_path().string();
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0)
    return {StatusKind::kIo, folder + ": " + std::strerror(errno)};
  if (dir.st_uid != ::geteuid() && dir.st_uid != 0)
    return Status::Failed("its folder " + folder + " belongs to uid " +
                          std::to_string(dir.st_uid) + ", who may replace it");
  if ((dir.st_mode & (S_IWGRP | S_IWOTH)) && !(dir.st_mode & S_ISVTX))
    return Status::Failed("group or others may write its folder " + folder + " (mode " +
                          Octal(dir.st_mode) + ", no sticky bit), so may replace it");
  return Status::Ok();
}

Status ReadJsonFile(const std::string& path, Json& j) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {StatusKind::kIo, path + ": " + std::strerror(errno)};
  j = Json::parse(in, nullptr, false);
  if (j.is_discarded()) return {StatusKind::kUnreadable, path + ": damaged: not valid JSON"};
  return Status::Ok();
}

Status WriteJsonFile(const std::string& path, const Json& j) {
  // A name nobody can have planted (O_EXCL, no link followed).
  std::random_device random;
  const std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(random());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return {StatusKind::kIo, temp + ": " + std::strerror(errno)};
  const std::string text = j.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += std::size_t(n);
  }
  const int write_errno = errno;
  if (::close(fd) != 0 || done != text.size()) {
    const Status failed(StatusKind::kIo,
                        temp + ": " + std::strerror(done != text.size() ? write_errno : errno));
    ::unlink(temp.c_str());
    return failed;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const Status failed(StatusKind::kIo, path + ": " + std::strerror(errno));
    ::unlink(temp.c_str());
    return failed;
  }
  return Status::Ok();
}

Status LoadPlan(const std::string& path, Plan& plan, PlanUse use) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {StatusKind::kIo, "plan " + path + ": " + std::strerror(errno)};
  if (use == PlanUse::kTrusted) {
    if (const Status s = CheckPlanTrust(path, fd); !s) {
      ::close(fd);
      return Status::Failed("plan " + path + " is refused: " + s.message());
    }
  }
  std::string text;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buf, std::size_t(n));
  }
  ::close(fd);
  const Json j = Json::parse(text, nullptr, false);
  if (j.is_discarded())
    return {StatusKind::kUnreadable, "plan " + path + ": damaged: not valid JSON"};
  plan.path = path;
  if (const Status s = PlanFromJson(j, plan); !s) return s.Within("plan " + path);
  if (use == PlanUse::kTrusted) {
    if (const Status s = CheckCommands(plan); !s)
      return Status::Failed("plan " + path + " is refused: " + s.message() +
                            " (edited?); nothing run");
  }
  return Status::Ok();
}

Status LoadPlanToRun(const std::string& path, Plan& plan) {
  if (Status s = LoadPlan(path, plan); !s) return s;
  const std::string self = SelfExecutable();
  if (plan.lumatrice.path != self)
    return Status::Failed("plan " + path + " is refused: it records the program " +
                          plan.lumatrice.path + ", not this one (" + self + "); nothing run");
  Status s = CheckProgram(plan.lumatrice);
  if (s && plan.kind == "blender") s = CheckProgram(plan.blender);
  if (!s) return Status::Failed("plan " + path + " is refused: " + s.message() + "; nothing run");
  return Status::Ok();
}

Status SavePlan(const Plan& plan) { return WriteJsonFile(plan.path, PlanToJson(plan)); }

}  // namespace lumatrice::farm
