// The `farm` command's options (CLI11) and their dispatch to host/farm.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "farm.h"

namespace lumatrice {

struct FarmCli {
  CLI::App* farm = nullptr;
  CLI::App *submit = nullptr, *status = nullptr, *resubmit = nullptr;
  CLI::App *run_chunk = nullptr, *report = nullptr;
  farm::SubmitArgs submit_args;
  std::string job, plan;
  std::optional<int> chunk;
  bool wait = false;
};

void AddFarmCommands(CLI::App& app, FarmCli& cli);
// The status of the farm command given, or -1 when none was.
int RunFarmCommand(const FarmCli& cli, const std::vector<std::string>& plugin_folders);

}  // namespace lumatrice
