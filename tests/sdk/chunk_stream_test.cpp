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

// Reads a whole tree: name chunks as texts, every other chunk as a container.
IOResult Walk(ILoad& load) {
  for (;;) {
    IOResult r = load.OpenChunk();
    if (r == IO_END) return IO_OK;
    if (r != IO_OK) return r;
    char* text = nullptr;
    r = load.CurChunkID() == kSpecialFXNameChunk ? load.ReadCStringChunk(&text) : Walk(load);
    if (r != IO_OK) return r;
    if (load.CloseChunk() != IO_OK) return IO_ERROR;
  }
}

TEST(ChunkStream, NestedRoundTrip) {
  MemorySave save;
  save.BeginChunk(0x10);
  save.BeginChunk(0x11);
  std::uint32_t value = 0xA1B2C3D4;
  ULONG n = 0;
  EXPECT_EQ(save.Write(&value, 4, &n), IO_OK);
  EXPECT_EQ(n, 4u);
  save.EndChunk();
  save.BeginChunk(0x12);
  save.WriteCString("text");
  save.EndChunk();
  save.EndChunk();
  ASSERT_TRUE(save.Complete());
  EXPECT_EQ(save.Bytes().size(), 6u + (6 + 4) + (6 + 5));

  MemoryLoad load(save.Bytes());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x10);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  std::uint32_t got = 0;
  EXPECT_EQ(load.Read(&got, 4, &n), IO_OK);
  EXPECT_EQ(got, value);
  EXPECT_EQ(load.Read(&got, 1, &n), IO_ERROR);  // nothing left in 0x11
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x12);
  char* text = nullptr;
  ASSERT_EQ(load.ReadCStringChunk(&text), IO_OK);
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.OpenChunk(), IO_END);  // no third chunk inside 0x10
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.OpenChunk(), IO_END);
  EXPECT_STREQ(text, "text");  // still owned by the loader
}

TEST(ChunkStream, SpecialFXNameRoundTrip) {
  Fx out;
  out.name = "Grade & Slate";
  MemorySave save;
  ASSERT_EQ(out.Save(&save), IO_OK);
  save.BeginChunk(0x2000);  // a derived class's own data follows
  save.EndChunk();
  MemoryLoad load(save.Bytes());
  Fx in;
  ASSERT_EQ(in.Load(&load), IO_OK);
  EXPECT_STREQ(in.GetName(), "Grade & Slate");
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x2000);
}

TEST(ChunkStream, MalformedBytesGiveIOError) {
  using B = std::vector<std::uint8_t>;
  struct Case {
    const char* what;
    B bytes;
  };
  const Case cases[] = {
      {"truncated header", {0x00, 0x01, 0x05}},
      {"length past the end", {0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 'a', 0}},
      {"huge length", {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}},
      {"no terminator", {0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 'a', 'b'}},
      {"child past its parent",
       {0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00, 0x00, 'a', 0, 'x', 0}},
      {"truncated after a good chunk",
       {0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 'a', 0, 0x00, 0x01, 0x05}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Exactly sized heap copy: a read past it is caught by the sanitizers.
    auto exact = std::make_unique<std::uint8_t[]>(c.bytes.size());
    std::memcpy(exact.get(), c.bytes.data(), c.bytes.size());
    MemoryLoad load(exact.get(), c.bytes.size());
    EXPECT_EQ(Walk(load), IO_ERROR);
  }
  Fx fx;
  MemoryLoad bad(B{0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 'a', 'b'});
  EXPECT_EQ(fx.Load(&bad), IO_ERROR);
  // The chunk-level reads on their own.
  MemoryLoad load(B{0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd'});
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  char buf[8] = {};
  ULONG n = 99;
  EXPECT_EQ(load.Read(buf, 8, &n), IO_ERROR);
  EXPECT_EQ(n, 3u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.OpenChunk(), IO_ERROR);  // one stray byte is no header
  EXPECT_EQ(load.CloseChunk(), IO_ERROR);  // nothing open
}

TEST(ChunkStream, UnbalancedSaveIsNotComplete) {
  MemorySave open;
  open.BeginChunk(1);
  EXPECT_FALSE(open.Complete());
  MemorySave extra;
  extra.EndChunk();
  EXPECT_FALSE(extra.Complete());
}

}  // namespace
