// Test helper for the embedding library's Python test, which may use only
// the standard library: writes image files of a given layout and prints
// what a file holds (channels, type, attributes, a hash per row and channel).
//   frame_tool write PATH CHANNELS TYPE WIDTH HEIGHT
//   frame_tool dump PATH
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

using OIIO::ImageSpec;
using OIIO::TypeDesc;

namespace {

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t comma = s.find(',', pos);
    out.push_back(s.substr(pos, comma - pos));
    if (comma == std::string::npos) return out;
    pos = comma + 1;
  }
}

int Write(const std::string& path, const std::string& channels, const std::string& type, int w,
          int h) {
  ImageSpec spec(w, h, 0, TypeDesc(type.c_str()));
  spec.channelnames = Split(channels);
  spec.nchannels = int(spec.channelnames.size());
  spec.alpha_channel = -1;
  for (int c = 0; c < spec.nchannels; ++c) {
    const std::string& n = spec.channelnames[c];
    if (n == "A" || (n.size() > 2 && n.compare(n.size() - 2, 2, ".A") == 0)) spec.alpha_channel = c;
  }
  spec.attribute("Software", "frame_tool");
  spec.attribute("oiio:UnassociatedAlpha", 1);
  std::vector<float> pixels(std::size_t(w) * h * spec.nchannels);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < spec.nchannels; ++c) {
        const bool depth = spec.channelnames[c].find("Depth") != std::string::npos;
        float v = depth ? 5.5f + float(x)  // above 1.0: must survive untouched
                        : float((x * 7 + y * 13 + c * 29) % 200 + 20) / 255.0f;
        if (c == spec.alpha_channel) v = x % 2 ? 1.0f : 0.5f;
        pixels[(std::size_t(y) * w + x) * spec.nchannels + c] = v;
      }
  auto out = OIIO::ImageOutput::create(path);
  if (!out || !out->open(path, spec) || !out->write_image(TypeDesc::FLOAT, pixels.data()) ||
      !out->close()) {
    std::fprintf(stderr, "frame_tool: %s: %s\n", path.c_str(), OIIO::geterror().c_str());
    return 1;
  }
  return 0;
}

int Dump(const std::string& path) {
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    std::fprintf(stderr, "frame_tool: %s: %s\n", path.c_str(), OIIO::geterror().c_str());
    return 1;
  }
  const ImageSpec& spec = in->spec();
  nlohmann::json j;
  j["channels"] = spec.channelnames;
  j["format"] = spec.format.c_str();
  nlohmann::json attrs = nlohmann::json::object();
  for (const auto& p : spec.extra_attribs)
    if (p.type() == TypeDesc::STRING) attrs[p.name().string()] = p.get_string();
  j["attributes"] = attrs;
  const std::size_t px = spec.pixel_bytes(true);
  std::vector<unsigned char> data(px * spec.width * spec.height);
  if (!in->read_native_scanlines(0, 0, spec.y, spec.y + spec.height, 0, 0, spec.nchannels,
                                 data.data())) {
    std::fprintf(stderr, "frame_tool: %s: %s\n", path.c_str(), in->geterror().c_str());
    return 1;
  }
  const std::size_t sample = spec.format.size();
  nlohmann::json rows = nlohmann::json::array();
  for (int y = 0; y < spec.height; ++y) {
    nlohmann::json row = nlohmann::json::array();
    for (int c = 0; c < spec.nchannels; ++c) {
      std::uint64_t h = 0xcbf29ce484222325ull;
      for (int x = 0; x < spec.width; ++x) {
        const unsigned char* s = &data[(std::size_t(y) * spec.width + x) * px + c * sample];
        for (std::size_t b = 0; b < sample; ++b) h = (h ^ s[b]) * 0x100000001b3ull;
      }
      row.push_back(std::to_string(h));
    }
    rows.push_back(row);
  }
  j["rows"] = rows;
  std::printf("%s\n", j.dump().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "write") == 0)
    return Write(argv[2], argv[3], argv[4], std::atoi(argv[5]), std::atoi(argv[6]));
  if (argc == 3 && std::strcmp(argv[1], "dump") == 0) return Dump(argv[2]);
  std::fprintf(stderr, "usage: frame_tool write PATH CHANNELS TYPE W H | dump PATH\n");
  return 2;
}
