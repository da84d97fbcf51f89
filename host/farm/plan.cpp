// Plan files: chunking, chunk commands and the JSON form.
#include "plan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace lumatrice::farm {
namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kPlanVersion = 1;

std::string Plan::ChunkRecord(int index) const {
  return state_dir + "/chunk-" + std::to_string(index) + ".json";
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
  static const std::set<std::string> with_value{"--frames", "--render-start", "--clock"};
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
  return Json{{"lumatrice_farm_plan", kPlanVersion},
              {"name", p.name},
              {"created", p.created},
              {"workdir", p.workdir},
              {"kind", p.kind},
              {"args", p.args},
              {"clock", p.clock},
              {"render_start", p.render_start},
              {"output", p.output},
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
}

bool PlanFromJson(const Json& j, Plan& p, std::string& error) {
  try {
    if (!j.is_object() || j.value("lumatrice_farm_plan", 0) != kPlanVersion) {
      error = "not a lumatrice farm plan (version " + std::to_string(kPlanVersion) + ")";
      return false;
    }
    j.at("name").get_to(p.name);
    j.at("created").get_to(p.created);
    j.at("workdir").get_to(p.workdir);
    j.at("kind").get_to(p.kind);
    j.at("args").get_to(p.args);
    j.at("clock").get_to(p.clock);
    j.at("render_start").get_to(p.render_start);
    j.at("output").get_to(p.output);
    j.at("files").get_to(p.files);
    j.at("env").get_to(p.env);
    j.at("verify").get_to(p.verify);
    j.at("state_dir").get_to(p.state_dir);
    p.chunks.clear();
    for (const Json& c : j.at("chunks")) {
      Chunk chunk;
      c.at("index").get_to(chunk.index);
      c.at("command").get_to(chunk.command);
      c.at("job").get_to(chunk.job);
      std::string list = c.at("frames").get<std::string>();
      // Written by FrameList: comma-separated frames and ranges.
      std::size_t start = 0;
      while (start < list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string part = list.substr(start, end - start);
        const std::size_t dash = part.find('-', 1);
        const int a = std::stoi(part.substr(0, dash));
        const int b = dash == std::string::npos ? a : std::stoi(part.substr(dash + 1));
        if (b < a || b - a > 10000000) throw std::out_of_range("frames " + part);
        for (int f = a; f <= b; ++f) chunk.frames.push_back(f);
        start = end + 1;
      }
      if (chunk.frames.empty() || chunk.command.empty() ||
          chunk.index != int(p.chunks.size()))
        throw std::out_of_range("chunk " + std::to_string(p.chunks.size()));
      p.chunks.push_back(std::move(chunk));
    }
    if (p.chunks.empty()) throw std::out_of_range("no chunks");
    const Json& e = j.at("engine");
    e.at("name").get_to(p.engine);
    e.at("partition").get_to(p.partition);
    e.at("report_job").get_to(p.report_job);
    p.submissions = e.at("submissions").get<std::vector<Json>>();
  } catch (const std::exception& ex) {
    error = std::string("damaged: ") + ex.what();
    return false;
  }
  return true;
}

bool ReadJsonFile(const std::string& path, Json& j, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  j = Json::parse(in, nullptr, false);
  if (j.is_discarded()) {
    error = path + ": damaged: not valid JSON";
    return false;
  }
  return true;
}

bool WriteJsonFile(const std::string& path, const Json& j, std::string& error) {
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << j.dump(1, ' ', false, Json::error_handler_t::replace) << "\n";
    out.flush();
    if (!out) {
      error = temp + ": " + std::strerror(errno);
      std::error_code ec;
      fs::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    error = path + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool LoadPlan(const std::string& path, Plan& plan, std::string& error) {
  Json j;
  std::string why;
  if (!ReadJsonFile(path, j, why)) {
    error = "plan " + why;
    return false;
  }
  if (!PlanFromJson(j, plan, why)) {
    error = "plan " + path + ": " + why;
    return false;
  }
  plan.path = path;
  return true;
}

bool SavePlan(const Plan& plan, std::string& error) {
  return WriteJsonFile(plan.path, PlanToJson(plan), error);
}

}  // namespace lumatrice::farm
