// The farm plan: one job's chunks, each with its frames, the pinned clock and
// render start, the output files and the program that runs them. Written as
// JSON beside the output; nothing in it is particular to one workload manager
// except the `engine` record of where the chunks were last submitted. The
// commands it shows are never run as read: they are made again from the
// typed fields, and a plan whose commands differ is refused.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "farm.h"
#include "status.h"

namespace lumatrice::farm {

// The Blender add-on every Blender chunk enables.
inline constexpr const char* kBlenderAddon = "lumatrice_blender";

struct Chunk {
  int index = 0;
  std::vector<int> frames;            // in frame order
  std::vector<std::string> command;   // argv, program first; made by ChunkArgv
  std::string job;                    // the engine's id of the task running it now
};

// A program the chunks run, and what it was when the plan was made: a
// rebuild or another file at the path is refused. (Size and modification
// time, not the inode: one install on shared storage has other device
// numbers on every node.)
struct Program {
  std::string path;
  long long size = -1;
  long long mtime_ns = -1;
};
Status IdentifyProgram(const std::string& path, Program& program);
// A failure saying how `program` on disk differs from the recorded one.
Status CheckProgram(const Program& recorded);

struct Plan {
  std::string path;                   // the plan file (not stored in it)
  std::string name;
  std::string created;                // submit time, ISO-8601
  std::string workdir;                // every command runs here
  std::string kind;                   // stamp | render | blender
  std::vector<std::string> args;      // the command line after `--`, as given
  Program lumatrice;                  // runs stamp, render, verify and the farm's tasks
  Program blender;                    // kind blender: the Blender that renders
  std::vector<std::string> plugins;   // --plugins folders, absolute
  int step = 1;                       // kind blender: Blender's frame step
  std::vector<int> written;           // every frame the chunks write (slates too)
  std::string clock;
  int render_start = 0;
  std::string output;                 // output pattern as given
  std::vector<std::string> files;     // every file the chunks write, absolute
  MovieRun movie;                     // a movie output: what the report joins
  std::map<std::string, std::string> env;  // set for every command
  std::vector<Chunk> chunks;
  std::vector<std::string> verify;    // argv of the check; made by VerifyArgv
  std::string state_dir;              // chunk records, logs, report: the plan's path without .json
  // Where the chunks were submitted.
  std::string engine;                 // "slurm"
  std::string partition;
  std::string report_job;
  std::vector<nlohmann::json> submissions;  // one entry per submit / resubmit

  std::string ReportFile() const { return state_dir + "/report.json"; }
  std::string ChunkRecord(int index) const;
};

// A movie output (.mov .mp4 .mkv .mxf): each chunk writes its frames as a
// segment movie in the plan's folder, and the report joins them.
bool MoviePlan(const Plan& plan);
std::string SegmentFile(const Plan& plan, const Chunk& chunk);
// The pictures chunk's segment holds: its frames, and a slate prepended to them.
long long SegmentPictures(const Plan& plan, const Chunk& chunk);

// Frames split into chunks of `size` in frame order.
std::vector<std::vector<int>> SplitFrames(std::vector<int> frames, int size);

// "1-10", "1-10,12,14-15": the form --frames reads.
std::string FrameList(const std::vector<int>& frames);

// The chunk's argv: `program [globals] kind args...` with any --frames,
// --render-start, --clock and --quiet of `args` replaced by the chunk's (and
// any --farm-segment dropped: the plan gives each chunk its own).
std::vector<std::string> ChunkCommand(const std::string& program,
                                      const std::vector<std::string>& globals,
                                      const std::string& kind,
                                      const std::vector<std::string>& args,
                                      const std::vector<int>& frames, int render_start,
                                      const std::string& clock);

// What a chunk, the report's check and every command run with, made from the
// plan's typed fields alone.
std::vector<std::string> ChunkArgv(const Plan& plan, const Chunk& chunk);
std::vector<std::string> VerifyArgv(const Plan& plan);
std::map<std::string, std::string> PlanEnv(const Plan& plan);
// Fills every chunk's command and the verify command.
void MakeCommands(Plan& plan);

nlohmann::json PlanToJson(const Plan& plan);
Status PlanFromJson(const nlohmann::json& j, Plan& plan);

// A failure saying why when the plan file may have been written by
// someone else: not ours, writable by group or others, in a folder they can
// write without the sticky bit, or not a regular file.
Status CheckPlanTrust(const std::string& path, int fd);

// Load and save; the save replaces the file whole (temporary + rename).
// kTrusted plans run commands; kRead ones are only looked at.
enum class PlanUse { kTrusted, kRead };
Status LoadPlan(const std::string& path, Plan& plan, PlanUse use = PlanUse::kTrusted);
// LoadPlan, and the plan's programs are this very program, unchanged since
// the plan was made, and the Blender it records: what a resubmit, a chunk
// and the report need before they run anything of it.
Status LoadPlanToRun(const std::string& path, Plan& plan);
Status SavePlan(const Plan& plan);
Status WriteJsonFile(const std::string& path, const nlohmann::json& j);
Status ReadJsonFile(const std::string& path, nlohmann::json& j);

}  // namespace lumatrice::farm
