// CheckedFile: the proxy's calls onto its OutFile.
#include "checked_file.h"

namespace lumatrice {

CheckedFile::CheckedFile(int fd, const std::string& path) : IOProxy(path, Write), file_(fd, path) {
  if (!file_.opened()) m_mode = Closed;
}

CheckedFile::~CheckedFile() { close(); }

void CheckedFile::close() {
  file_.Close();
  m_mode = Closed;
}

bool CheckedFile::Finish() {
  close();
  return file_.Failure().empty();
}

size_t CheckedFile::pwrite(const void* buf, size_t size, int64_t offset) {
  return file_.pwrite(buf, size, offset);
}

size_t CheckedFile::write(const void* buf, size_t size) {
  const size_t n = file_.pwrite(buf, size, m_pos);
  m_pos += int64_t(n);
  return n;
}

size_t CheckedFile::pread(void* buf, size_t size, int64_t offset) {
  return file_.pread(buf, size, offset);
}

size_t CheckedFile::read(void* buf, size_t size) {
  const size_t n = file_.pread(buf, size, m_pos);
  m_pos += int64_t(n);
  return n;
}

size_t CheckedFile::size() const { return file_.size(); }

}  // namespace lumatrice
