// Value types and constants of the host SDK surface: time, intervals, class
// IDs, the host's owning string, result codes and message codes.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "win_types.h"

using TimeValue = std::int32_t;  // ticks
using SClass_ID = ULONG;
using BlockID = short;
using ParamID = short;
using PartID = ULONG;
using RefMessage = ULONG;

constexpr TimeValue TIME_NegInfinity = TimeValue(0x80000000u);
constexpr TimeValue TIME_PosInfinity = 0x7FFFFFFF;

constexpr SClass_ID RENDER_EFFECT_CLASS_ID = 0x1090;

enum IOResult { IO_OK = 0, IO_END = 1, IO_ERROR = 2 };
enum RefResult { REF_FAIL = 0, REF_SUCCEED = 1, REF_DONTCARE = 2, REF_STOP = 3 };

constexpr RefMessage REFMSG_CHANGE = 0x50;
constexpr PartID PART_ALL = 0xFFFFFFFF;

constexpr ULONG BMM_CHAN_Z = 1;

// A span of time, both ends inclusive. Empty when start > end or when both
// ends are TIME_NegInfinity (the default).
class Interval {
 public:
  Interval();
  Interval(TimeValue start, TimeValue end);
  void SetEmpty();
  void SetInfinite();
  void Set(TimeValue start, TimeValue end);
  TimeValue Start() const;
  TimeValue End() const;
  int Empty() const;
  int InInterval(TimeValue t) const;
  Interval& operator&=(const Interval& other);  // intersection
  int operator==(const Interval& other) const;

 private:
  TimeValue start_;
  TimeValue end_;
};

extern const Interval FOREVER;
extern const Interval NEVER;

class Class_ID {
 public:
  Class_ID();
  Class_ID(ULONG a, ULONG b);
  ULONG PartA() const;
  ULONG PartB() const;
  int operator==(const Class_ID& other) const;
  int operator!=(const Class_ID& other) const;

 private:
  ULONG a_;
  ULONG b_;
};

// Owning, zero-terminated 8-bit string. data() is never null.
class CStr {
 public:
  CStr();
  CStr(const char* s);
  CStr(const CStr& other);
  CStr(CStr&& other) noexcept;
  ~CStr();
  CStr& operator=(const CStr& other);
  CStr& operator=(CStr&& other) noexcept;
  CStr& operator=(const char* s);
  const char* data() const;
  operator const char*() const;
  int Length() const;
  int isNull() const;  // non-zero when empty
  int operator==(const CStr& other) const;

 private:
  char* buf_;
  int len_;
};
