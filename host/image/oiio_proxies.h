// OpenImageIO's in-memory proxies, made inside liblumatrice_oiio.so: their
// classes' vtables live in OpenImageIO's utility library, which the host
// loads only when a frame needs it (see lazy_oiio.cpp), so no object of the
// host may name them directly.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <OpenImageIO/filesystem.h>

namespace lumatrice {

// A reader over `size` bytes at `data`, which must outlive it.
std::unique_ptr<OIIO::Filesystem::IOProxy> MakeMemoryReader(const void* data, std::size_t size);
// A writer appending to `out`, which must outlive it.
std::unique_ptr<OIIO::Filesystem::IOProxy> MakeVectorWriter(std::vector<unsigned char>& out);

}  // namespace lumatrice
