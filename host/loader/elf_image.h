// What the loader reads from a module file before and besides loading it: the
// kind of file, its entry address and the names its dynamic symbol table
// defines. Every offset and size in the file is checked against the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pluginloader {

struct ElfImage {
  bool shared_object = false;  // a native ELF shared object
  std::uint64_t entry = 0;     // entry address as linked (add the load bias); 0: none
  std::vector<std::string> exports;  // defined global symbols, file order
};

// False, with a reason, when the file cannot be read or is not a native ELF
// shared object with a readable dynamic symbol table.
bool ReadElfImage(const std::string& path, ElfImage& image, std::string& error);

}  // namespace pluginloader
