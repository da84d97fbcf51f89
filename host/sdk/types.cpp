// Value types of the SDK surface: Interval, Class_ID and the owning CStr.
#include <cstring>
#include <new>

#include "sdk_types.h"

const Interval FOREVER(TIME_NegInfinity, TIME_PosInfinity);
const Interval NEVER;

Interval::Interval() : start_(TIME_NegInfinity), end_(TIME_NegInfinity) {}
Interval::Interval(TimeValue start, TimeValue end) : start_(start), end_(end) {}
void Interval::SetEmpty() { start_ = end_ = TIME_NegInfinity; }
void Interval::SetInfinite() { Set(TIME_NegInfinity, TIME_PosInfinity); }
void Interval::Set(TimeValue start, TimeValue end) {
  start_ = start;
  end_ = end;
}
TimeValue Interval::Start() const { return start_; }
TimeValue Interval::End() const { return end_; }

int Interval::Empty() const {
  return start_ > end_ || (start_ == TIME_NegInfinity && end_ == TIME_NegInfinity);
}

int Interval::InInterval(TimeValue t) const { return !Empty() && start_ <= t && t <= end_; }

Interval& Interval::operator&=(const Interval& other) {
  if (Empty() || other.Empty()) {
    SetEmpty();
    return *this;
  }
  if (other.start_ > start_) start_ = other.start_;
  if (other.end_ < end_) end_ = other.end_;
  if (start_ > end_) SetEmpty();
  return *this;
}

// Every empty interval equals every other one.
int Interval::operator==(const Interval& other) const {
  if (Empty() || other.Empty()) return Empty() && other.Empty();
  return start_ == other.start_ && end_ == other.end_;
}

Class_ID::Class_ID() : a_(0), b_(0) {}
Class_ID::Class_ID(ULONG a, ULONG b) : a_(a), b_(b) {}
ULONG Class_ID::PartA() const { return a_; }
ULONG Class_ID::PartB() const { return b_; }
int Class_ID::operator==(const Class_ID& other) const {
  return a_ == other.a_ && b_ == other.b_;
}
int Class_ID::operator!=(const Class_ID& other) const { return !(*this == other); }

// Empty strings share one static terminator and own nothing, so construction,
// moves and clearing never allocate and cannot fail.
namespace {
char empty_text[1] = {0};

// A copy of s, or the shared empty text when s is empty or memory is short.
char* Duplicate(const char* s, int& len) {
  std::size_t n = s ? std::strlen(s) : 0;
  if (n == 0 || n > 0x7FFFFFFE) {
    len = 0;
    return empty_text;
  }
  char* p = new (std::nothrow) char[n + 1];
  if (!p) {
    len = 0;
    return empty_text;
  }
  std::memcpy(p, s, n + 1);
  len = static_cast<int>(n);
  return p;
}

void Release(char* p) {
  if (p != empty_text) delete[] p;
}
}  // namespace

CStr::CStr() : buf_(empty_text), len_(0) {}
CStr::CStr(const char* s) : buf_(Duplicate(s, len_)) {}
CStr::CStr(const CStr& other) : buf_(Duplicate(other.buf_, len_)) {}
CStr::CStr(CStr&& other) noexcept : buf_(other.buf_), len_(other.len_) {
  other.buf_ = empty_text;
  other.len_ = 0;
}
CStr::~CStr() { Release(buf_); }

CStr& CStr::operator=(const CStr& other) {
  if (this != &other) *this = other.buf_;
  return *this;
}

CStr& CStr::operator=(CStr&& other) noexcept {
  if (this != &other) {
    Release(buf_);
    buf_ = other.buf_;
    len_ = other.len_;
    other.buf_ = empty_text;
    other.len_ = 0;
  }
  return *this;
}

// Copies before releasing, so s may point into this string's own text.
CStr& CStr::operator=(const char* s) {
  int len = 0;
  char* copy = Duplicate(s, len);
  Release(buf_);
  buf_ = copy;
  len_ = len;
  return *this;
}

const char* CStr::data() const { return buf_; }
CStr::operator const char*() const { return buf_; }
int CStr::Length() const { return len_; }
int CStr::isNull() const { return len_ == 0; }
int CStr::operator==(const CStr& other) const {
  return len_ == other.len_ && std::memcmp(buf_, other.buf_, len_) == 0;
}
