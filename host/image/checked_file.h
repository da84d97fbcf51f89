// OutFile as an OpenImageIO proxy, for the writers that encode a frame
// whole: every failed write is kept for the caller to ask after the writer
// has closed (see out_file.h).
#pragma once

#include <string>

#include <OpenImageIO/filesystem.h>

#include "out_file.h"

namespace lumatrice {

class CheckedFile final : public OIIO::Filesystem::IOProxy {
 public:
  // Writes through a descriptor of its own onto the open file `fd` (a
  // temporary file, named `path`), which stays open for its caller. On
  // failure the proxy is closed and `Failure()` says why.
  CheckedFile(int fd, const std::string& path);
  ~CheckedFile() override;
  CheckedFile(const CheckedFile&) = delete;
  CheckedFile& operator=(const CheckedFile&) = delete;

  // Not "file": writers treat a proxy of that type as their own stdio file.
  const char* proxytype() const override { return "lumatrice-checked"; }
  void close() override;
  size_t read(void* buf, size_t size) override;
  size_t write(const void* buf, size_t size) override;
  size_t pread(void* buf, size_t size, int64_t offset) override;
  size_t pwrite(const void* buf, size_t size, int64_t offset) override;
  size_t size() const override;

  // Closes the file (if still open) and tells whether every write and the
  // close itself succeeded.
  bool Finish();
  // The first failure, as the system words it; empty while all is well.
  const std::string& Failure() const { return file_.Failure(); }

 private:
  OutFile file_;
};

}  // namespace lumatrice
