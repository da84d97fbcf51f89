// Temporary frame files: a write goes to a hidden file beside its target and
// is renamed into place. The file is created by its writer alone (O_EXCL, no
// link followed) under a name nobody can foresee, and its writer holds an
// flock on it for as long as it exists, so a sweep of those left behind by
// killed runs can prove a file is no live writer's before it removes it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "status.h"

namespace lumatrice {

// This machine's name as temporary names carry it (characters other than
// letters, digits, '-' and '_' become '_').
const std::string& TemporaryHostTag();

// True when `name` (a file name without folder) is a temporary file's:
// ".f.0001.lumatrice-tmp-node7-4242-3f9a0c41d2e7.exr" for "f.0001.exr".
bool IsTemporaryName(const std::string& name);

// One temporary file, removed with this object unless renamed into place.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the hidden file for `target` (same folder, same extension: the
  // writer is chosen by it), with host, PID and a random part in its name,
  // and locks it. Else kIo with "<target>: <reason>".
  Status Create(const std::string& target);
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // "/proc/self/fd/N": this very file, for code that opens files by name,
  // whatever the name beside the target has become meanwhile. Empty without
  // /proc.
  std::string FdPath() const;
  // Renames the file onto `target` when its name still holds this file.
  // Else kIo with "<target>: <reason>", and the file is removed.
  Status RenameTo(const std::string& target);
  // Removes the file when its name still holds it; the lock goes with it.
  void Remove();

 private:
  bool StillNamed() const;
  int fd_ = -1;
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// Removes from `folder` this host's temporary files of the frames named in
// `targets` (file names in that folder) that no writer holds: regular files
// only, with one name and some bytes, named exactly as a temporary of one of
// those names, whose lock this process can take at once. Anything else
// (other names, folders, links, other hosts' files, a file a live or stopped
// run holds) stays. Returns how many were removed.
int SweepStaleTemporaries(const std::string& folder, const std::vector<std::string>& targets);

}  // namespace lumatrice
