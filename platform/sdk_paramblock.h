// Parameter blocks: the descriptor built from a tagged argument list, and the
// block that holds one object's values.
//
// The descriptor list (every value one argument; texts and the class
// descriptor as pointers):
//   block ID, internal name, local-name string ID, ClassDesc2*, block flags,
//   [reference number if P_AUTO_CONSTRUCT],
//   [dialog template, title string ID, flag mask, rollup flags, dialog proc
//    if P_AUTO_UI],
//   then per parameter: ID, internal name, type, flags, local-name string ID,
//   tagged options (p_default value | p_ui control type, control ID), end;
//   and one more end to close the list.
// A malformed list is reported on stderr and leaves the descriptor invalid
// (IsValid() false, no parameters): never a half-built block.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "sdk_reference.h"

class ClassDesc2;

// Parameter types.
enum ParamType2 : int { TYPE_BOOL = 4, TYPE_STRING = 8 };

// Parameter flags.
constexpr int P_ANIMATABLE = 0x0001;

// Block flags.
constexpr USHORT P_AUTO_CONSTRUCT = 0x0002;
constexpr USHORT P_AUTO_UI = 0x0004;

// Control types of p_ui.
enum ControlType2 : int { TYPE_SINGLECHEKBOX = 2, TYPE_EDITBOX = 5 };

// Tags of the descriptor list.
enum ParamTag : unsigned {
  p_default = 0xC0000000u,
  p_ui = 0xC0000003u,
  end = 0xC0000400u,
};

struct ParamDef {
  ParamID id;
  const char* int_name;  // owned by the descriptor
  int type;              // ParamType2
  int flags;
  int local_name;        // string ID
  int def_int;           // TYPE_BOOL default
  const char* def_str;   // TYPE_STRING default, owned by the descriptor
  int ctrl_type;         // ControlType2, -1 without p_ui
  int ctrl_id;
};

class ParamBlockDesc2 {
 public:
  // `flags` holds the unsigned 16-bit block flags; it is declared int because
  // the last parameter before "..." must be one that promotion leaves as is.
  ParamBlockDesc2(BlockID id, const char* int_name, int local_name, ClassDesc2* cd,
                  int flags, ...);
  ~ParamBlockDesc2();
  ParamBlockDesc2(const ParamBlockDesc2&) = delete;
  ParamBlockDesc2& operator=(const ParamBlockDesc2&) = delete;

  BlockID ID() const;
  const char* InternalName() const;
  int LocalName() const;
  ClassDesc2* ClassDesc() const;
  USHORT Flags() const;
  int RefNo() const;
  int DialogTemplate() const;
  int Title() const;
  int Count() const;
  const ParamDef* GetParamDef(int index) const;
  const ParamDef* GetParamDefByID(ParamID id) const;
  bool IsValid() const;
  const char* Error() const;  // empty when valid

  struct Impl;
  Impl* impl() const;

 private:
  Impl* impl_;
};

class IParamBlock2 : public ReferenceTarget {
 public:
  // Switch value at t (the last key at or before t, else the first key).
  // ivalid is narrowed to the span over which that value holds.
  virtual BOOL GetValue(ParamID id, TimeValue t, int& v, Interval& ivalid,
                        int tabIndex = 0) = 0;
  // Zero-terminated text; never null (empty for a bad ID).
  virtual const char* GetStr(ParamID id, TimeValue t = 0, int tabIndex = 0) = 0;
  virtual BOOL SetValue(ParamID id, TimeValue t, int v, int tabIndex = 0) = 0;
  virtual BOOL SetValue(ParamID id, TimeValue t, const char* v, int tabIndex = 0) = 0;
  virtual BlockID ID() = 0;
  virtual ParamBlockDesc2* GetDesc() = 0;
  virtual int NumParams() = 0;
};
