// Temporary frame files: a write goes to a hidden file beside its target,
// named with the host and process that write it, and is renamed into place.
// A run killed between the two (SIGKILL on a farm) leaves that file behind;
// the next run into the folder removes it once its writer is known gone.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace lumatrice {

// The temporary name a write of `target` uses: hidden, beside it, same
// extension (the writer is chosen by the extension), with this host's name
// and this process's ID: ".f.0001.lumatrice-tmp-node7-4242.exr".
std::string TemporaryNameFor(const std::string& target);
// True when `name` (a file name without folder) looks like one of those.
bool IsTemporaryName(const std::string& name);

// This machine's name as temporary names carry it (characters other than
// letters, digits, '-' and '_' become '_').
const std::string& TemporaryHostTag();

// Removes from `folder` the temporary files of this naming that no live
// writer can own: made on this host by a process that is gone, or, when
// their target is one of `own_targets` (file names the caller holds the
// output lock for), by another process before `run_start`. Files of other
// hosts are never touched. Returns how many were removed.
int SweepStaleTemporaries(const std::string& folder, const std::vector<std::string>& own_targets,
                          std::time_t run_start);

}  // namespace lumatrice
