// The proxies of oiio_proxies.h; built into liblumatrice_oiio.so.
#include "oiio_proxies.h"

namespace lumatrice {

std::unique_ptr<OIIO::Filesystem::IOProxy> MakeMemoryReader(const void* data, std::size_t size) {
  return std::make_unique<OIIO::Filesystem::IOMemReader>(data, size);
}

std::unique_ptr<OIIO::Filesystem::IOProxy> MakeVectorWriter(std::vector<unsigned char>& out) {
  return std::make_unique<OIIO::Filesystem::IOVecOutput>(out);
}

}  // namespace lumatrice
