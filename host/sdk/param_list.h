// Reading a parameter-block descriptor's tagged list: a small reader
// interface with two sources (the constructor's va_list, and a bounded vector
// of typed items for tests and fuzzing), and the parser both feed.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

#include "sdk_paramblock.h"

class ParamListReader {
 public:
  virtual ~ParamListReader() = default;
  // Each returns false when the list has run out; a typed list also when the
  // next item is of another kind.
  virtual bool NextInt(int& v) = 0;
  virtual bool NextText(const char*& s) = 0;
  virtual bool NextPointer(const void*& p) = 0;
};

// Texts and pointers are read as pointers, everything else as 32-bit ints.
// A va_list cannot tell where it ends: a list without its closing end is
// caught only by the parser's sanity checks.
class VaListReader final : public ParamListReader {
 public:
  explicit VaListReader(std::va_list args);
  ~VaListReader() override;
  VaListReader(const VaListReader&) = delete;
  VaListReader& operator=(const VaListReader&) = delete;
  bool NextInt(int& v) override;
  bool NextText(const char*& s) override;
  bool NextPointer(const void*& p) override;

 private:
  std::va_list args_;
};

// One argument of a descriptor list, with its kind.
struct ParamItem {
  enum Kind { Int, Text, Pointer };
  Kind kind;
  int i = 0;
  const char* s = nullptr;
  const void* p = nullptr;

  ParamItem(int v) : kind(Int), i(v) {}
  ParamItem(ParamTag tag) : kind(Int), i(static_cast<int>(tag)) {}
  ParamItem(ParamType2 type) : kind(Int), i(type) {}
  ParamItem(ControlType2 type) : kind(Int), i(type) {}
  ParamItem(const char* text) : kind(Text), s(text) {}
  ParamItem(std::nullptr_t) : kind(Pointer) {}
  static ParamItem Ptr(const void* ptr) {
    ParamItem item(nullptr);
    item.p = ptr;
    return item;
  }
};

class ItemListReader final : public ParamListReader {
 public:
  ItemListReader(const ParamItem* items, std::size_t count) : items_(items), count_(count) {}
  explicit ItemListReader(const std::vector<ParamItem>& items)
      : ItemListReader(items.data(), items.size()) {}
  bool NextInt(int& v) override;
  bool NextText(const char*& s) override;
  bool NextPointer(const void*& p) override;
  std::size_t Consumed() const { return next_; }

 private:
  const ParamItem* Take(ParamItem::Kind kind);
  const ParamItem* items_;
  std::size_t count_;
  std::size_t next_ = 0;
};

// A list with more parameters than this is taken as garbage.
constexpr int kMaxParamsPerBlock = 1024;

// What follows the block flags in a descriptor list, with its texts copied.
struct ParsedParamList {
  struct Param {
    ParamDef def{};  // text pointers unset; they point into the strings below
    std::string name;
    std::string def_str;
  };
  int ref_no = -1;  // -1 without P_AUTO_CONSTRUCT
  int dialog_template = 0;
  int title = 0;
  int flag_mask = 0;
  int rollup_flags = 0;
  const void* dialog_proc = nullptr;
  std::vector<Param> params;
};

// Parses the list up to and including its closing end. False on any fault,
// with `error` naming it in one line (without the block's name).
bool ParseParamList(USHORT flags, ParamListReader& reader, ParsedParamList& out,
                    std::string& error);

// Rebuilds desc from a list as its constructor does: detaches it from its
// class descriptor, parses, reports a fault on stderr, and attaches it to cd
// when valid. Returns IsValid().
bool RebuildParamBlockDesc(ParamBlockDesc2& desc, BlockID id, const char* int_name,
                           int local_name, ClassDesc2* cd, USHORT flags,
                           ParamListReader& reader);
