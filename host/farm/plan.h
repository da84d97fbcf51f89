// The farm plan: one job's chunks, each with its frames and the exact
// command it runs, the pinned clock and render start, the output files and
// the verify command. Written as JSON beside the output; nothing in it is
// particular to one workload manager except the `engine` record of where
// the chunks were last submitted.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumatrice::farm {

struct Chunk {
  int index = 0;
  std::vector<int> frames;            // in frame order
  std::vector<std::string> command;   // argv, program first
  std::string job;                    // the engine's id of the task running it now
};

struct Plan {
  std::string path;                   // the plan file (not stored in it)
  std::string name;
  std::string created;                // submit time, ISO-8601
  std::string workdir;                // every command runs here
  std::string kind;                   // stamp | render
  std::vector<std::string> args;      // the command line after `--`, as given
  std::string clock;
  int render_start = 0;
  std::string output;                 // output pattern as given
  std::vector<std::string> files;     // every file the chunks write, absolute
  std::map<std::string, std::string> env;  // set for every command
  std::vector<Chunk> chunks;
  std::vector<std::string> verify;    // argv of the check over the whole output
  std::string state_dir;              // chunk records, logs, report
  // Where the chunks were submitted.
  std::string engine;                 // "slurm"
  std::string partition;
  std::string report_job;
  std::vector<nlohmann::json> submissions;  // one entry per submit / resubmit

  std::string ReportFile() const { return state_dir + "/report.json"; }
  std::string ChunkRecord(int index) const;
};

// Frames split into chunks of `size` in frame order.
std::vector<std::vector<int>> SplitFrames(std::vector<int> frames, int size);

// "1-10", "1-10,12,14-15": the form --frames reads.
std::string FrameList(const std::vector<int>& frames);

// The chunk's argv: `program [globals] kind args...` with any --frames,
// --render-start, --clock and --quiet of `args` replaced by the chunk's.
std::vector<std::string> ChunkCommand(const std::string& program,
                                      const std::vector<std::string>& globals,
                                      const std::string& kind,
                                      const std::vector<std::string>& args,
                                      const std::vector<int>& frames, int render_start,
                                      const std::string& clock);

nlohmann::json PlanToJson(const Plan& plan);
bool PlanFromJson(const nlohmann::json& j, Plan& plan, std::string& error);

// Load and save; the save replaces the file whole (temporary + rename).
bool LoadPlan(const std::string& path, Plan& plan, std::string& error);
bool SavePlan(const Plan& plan, std::string& error);
bool WriteJsonFile(const std::string& path, const nlohmann::json& j, std::string& error);
bool ReadJsonFile(const std::string& path, nlohmann::json& j, std::string& error);

}  // namespace lumatrice::farm
