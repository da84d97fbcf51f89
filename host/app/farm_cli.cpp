// lumatrice farm submit|status|resubmit, and the two commands the farm's
// nodes run (run-chunk, report).
#include "farm_cli.h"

#include "movie_backend.h"

namespace lumatrice {

void AddFarmCommands(CLI::App& app, FarmCli& cli) {
  cli.farm = app.add_subcommand("farm", "split a stamp or render into chunks and run them on Slurm");
  cli.farm->require_subcommand(1);
  farm::SubmitArgs& s = cli.submit_args;
  cli.submit = cli.farm->add_subcommand(
      "submit", "plan the chunks, submit them as one job array and a report job after them");
  cli.submit->add_option("--chunk", s.chunk, "frames per chunk (default 10)")
      ->check(CLI::PositiveNumber);
  cli.submit->add_option("--partition", s.partition, "Slurm partition (default: the cluster's)");
  cli.submit->add_option("--name", s.name,
                         "job name, also the plan's file name NAME.farm.json beside the output "
                         "(default: from the output file names)");
  cli.submit->add_flag("--wait", s.wait, "follow the job until its report; exit with its status");
  cli.submit->add_option("command", s.command, "-- stamp|render ARGS...")->required();

  cli.status = cli.farm->add_subcommand("status", "the plan, each chunk's state and the report");
  cli.status->add_option("job", cli.job, "Slurm job id of the farm job, or its plan file")
      ->required();
  cli.status->add_flag("--wait", cli.wait, "follow the job until its report; exit with its status");
  cli.resubmit = cli.farm->add_subcommand(
      "resubmit", "submit again the chunks that failed or were cancelled, then the report");
  cli.resubmit->add_option("job", cli.job, "Slurm job id of the farm job, or its plan file")
      ->required();
  cli.resubmit->add_flag("--wait", cli.wait, "follow the job until its report");

  // Run by the batch jobs, not by hand.
  cli.run_chunk = cli.farm->add_subcommand("run-chunk", "run one chunk of a plan (on a node)");
  cli.run_chunk->group("");
  cli.run_chunk->add_option("plan", cli.plan, "plan file")->required();
  cli.run_chunk->add_option("chunk", cli.chunk, "chunk index (default: SLURM_ARRAY_TASK_ID)");
  cli.report = cli.farm->add_subcommand("report", "verify the output and write the job report");
  cli.report->group("");
  cli.report->add_option("plan", cli.plan, "plan file")->required();
}

namespace {

// The farm's report joins a movie's segments through the movie library.
Status JoinMovieSegments(const std::vector<farm::Segment>& segments, const std::string& target,
                         const farm::MovieRun& movie) {
  std::string error;
  std::optional<MovieCodec> encode;
  if (!movie.intra_only) {
    MovieArgs args;
    args.codec = movie.codec;
    args.profile = movie.profile;
    if (movie.crf >= 0) args.crf = movie.crf;
    if (!ResolveMovieCodec(target, args, encode.emplace(), error)) return Status::Failed(error);
  }
  MovieBackend* movies = LoadMovieBackend(error);
  std::vector<MovieSegment> list;
  for (const farm::Segment& s : segments) list.push_back({s.path, s.name, s.pictures});
  if (!movies || !movies->JoinSegments(list, target, encode ? &*encode : nullptr, error))
    return Status::Failed(error);
  return Status::Ok();
}

}  // namespace

int RunFarmCommand(const FarmCli& cli, const std::vector<std::string>& plugin_folders) {
  if (!cli.farm || !cli.farm->parsed()) return -1;
  if (cli.submit->parsed()) {
    farm::SubmitArgs args = cli.submit_args;
    args.plugin_folders = plugin_folders;
    return farm::Submit(args);
  }
  if (cli.status->parsed()) return farm::ShowStatus(cli.job, cli.wait);
  if (cli.resubmit->parsed()) return farm::Resubmit(cli.job, cli.wait);
  if (cli.run_chunk->parsed()) return farm::RunChunk(cli.plan, cli.chunk);
  if (cli.report->parsed()) return farm::Report(cli.plan, JoinMovieSegments);
  return -1;
}

}  // namespace lumatrice
