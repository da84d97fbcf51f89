// Chunk streams: nested round trip, SpecialFX name, and malformed bytes that
// must give IO_ERROR without reading past what the loader holds.
#include <gtest/gtest.h>

#include <cstring>

#include "chunk_stream.h"
#include "host_sdk.h"

namespace {

struct Fx : SpecialFX {
  RefResult NotifyRefChanged(Interval, RefTargetHandle, PartID&, RefMessage) override {
    return REF_SUCCEED;
  }
};

// Reads a whole tree: name chunks as texts, IDs with the top bit as raw data
// (skipped), every other chunk as a container.
IOResult Walk(ILoad& load, std::string& texts) {
  for (;;) {
    IOResult r = load.OpenChunk();
    if (r != IO_OK) return r == IO_END ? IO_OK : r;
    char* text = nullptr;
    bool leaf = load.CurChunkID() == kSpecialFXNameChunk;
    bool raw = load.CurChunkID() & 0x8000;
    r = raw ? IO_OK : leaf ? load.ReadCStringChunk(&text) : Walk(load, texts);
    if (r != IO_OK || load.CloseChunk() != IO_OK) return IO_ERROR;
    if (leaf) texts += std::string(text) + ";";
  }
}

TEST(ChunkStream, NestedRoundTrip) {
  MemorySave save;
  save.BeginChunk(0x10);
  save.BeginChunk(0x8011);
  std::uint32_t value = 0xA1B2C3D4;
  save.Write(&value, 4, nullptr);
  save.EndChunk();
  Fx out;
  out.name = "Grade & Slate";
  ASSERT_EQ(out.Save(&save), IO_OK);
  save.EndChunk();
  ASSERT_TRUE(save.Complete());

  MemoryLoad load(save.Bytes());
  std::string texts;
  ASSERT_EQ(Walk(load, texts), IO_OK);
  EXPECT_EQ(texts, "Grade & Slate;");

  MemoryLoad again(save.Bytes());
  ASSERT_EQ(again.OpenChunk(), IO_OK);
  ASSERT_EQ(again.OpenChunk(), IO_OK);
  std::uint32_t got = 0;
  ULONG n = 0;
  EXPECT_EQ(again.Read(&got, 4, &n), IO_OK);
  EXPECT_EQ(got, value);
  EXPECT_EQ(again.Read(&got, 1, &n), IO_ERROR);  // nothing left in 0x8011
  EXPECT_EQ(n, 0u);
  again.CloseChunk();
  Fx in;
  ASSERT_EQ(in.Load(&again), IO_OK);  // skips nothing it should not
  EXPECT_STREQ(in.GetName(), "Grade & Slate");
}

TEST(ChunkStream, MalformedBytesGiveIOError) {
  using B = std::vector<std::uint8_t>;
  const std::pair<const char*, B> cases[] = {
      {"truncated header", {0x00, 0x01, 0x05}},
      {"length past the end", {0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 'a', 0}},
      {"huge length", {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}},
      {"no terminator", {0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 'a', 'b'}},
      {"child past its parent",
       {0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00, 0x00, 'a', 0, 'x', 0}},
      {"truncated after a good chunk",
       {0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 'a', 0, 0x00, 0x01, 0x05}},
  };
  for (const auto& [what, bytes] : cases) {
    // Exactly sized heap copy: a read past it is caught by the sanitizers.
    auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    MemoryLoad load(exact.get(), bytes.size());
    std::string texts;
    EXPECT_EQ(Walk(load, texts), IO_ERROR) << what;
  }
  Fx fx;
  MemoryLoad bad(cases[3].second);
  EXPECT_EQ(fx.Load(&bad), IO_ERROR);
  // A short read hands over what the chunk holds, and no more.
  MemoryLoad load(B{0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd'});
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  char buf[8] = {};
  ULONG n = 99;
  EXPECT_EQ(load.Read(buf, 8, &n), IO_ERROR);
  EXPECT_EQ(n, 3u);
  EXPECT_STREQ(buf, "abc");
}

}  // namespace
