// The descriptor-list readers and the parser of the tagged list.
#include "param_list.h"

#include <algorithm>
#include <climits>
#include <cstdio>

VaListReader::VaListReader(std::va_list args) { va_copy(args_, args); }
VaListReader::~VaListReader() { va_end(args_); }

bool VaListReader::NextInt(int& v) {
  v = va_arg(args_, int);
  return true;
}

bool VaListReader::NextText(const char*& s) {
  s = va_arg(args_, const char*);
  return true;
}

bool VaListReader::NextPointer(const void*& p) {
  p = va_arg(args_, const void*);
  return true;
}

const ParamItem* ItemListReader::Take(ParamItem::Kind kind) {
  if (next_ >= count_ || items_[next_].kind != kind) return nullptr;
  return &items_[next_++];
}

bool ItemListReader::NextInt(int& v) {
  const ParamItem* item = Take(ParamItem::Int);
  if (item) v = item->i;
  return item != nullptr;
}

bool ItemListReader::NextText(const char*& s) {
  const ParamItem* item = Take(ParamItem::Text);
  if (item) s = item->s;
  return item != nullptr;
}

bool ItemListReader::NextPointer(const void*& p) {
  const ParamItem* item = Take(ParamItem::Pointer);
  if (item) p = item->p;
  return item != nullptr;
}

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

bool IsTag(int word, ParamTag tag) { return static_cast<unsigned>(word) == tag; }

const char* TypeName(int type) { return type == TYPE_BOOL ? "TYPE_BOOL" : "TYPE_STRING"; }

int ControlFor(int type) { return type == TYPE_BOOL ? TYPE_SINGLECHEKBOX : TYPE_EDITBOX; }

// The parameter being read, for messages: "parameter 3 \"Comments\"".
std::string Where(const ParsedParamList::Param& p) {
  std::string where = Format("parameter %d", p.def.id);
  if (!p.name.empty()) where += " \"" + p.name + "\"";
  return where;
}

bool ParseOptions(ParamListReader& r, ParsedParamList::Param& p, std::string& error) {
  bool have_default = false;
  bool have_ui = false;
  for (;;) {
    int tag = 0;
    if (!r.NextInt(tag)) {
      error = Where(p) + ": list ends before the parameter's end";
      return false;
    }
    if (IsTag(tag, end)) return true;
    if (IsTag(tag, p_default)) {
      if (have_default) {
        error = Where(p) + ": p_default given twice";
        return false;
      }
      have_default = true;
      bool read = true;
      if (p.def.type == TYPE_BOOL) {
        read = r.NextInt(p.def.def_int);
      } else {
        const char* text = nullptr;
        read = r.NextText(text);
        p.def_str = text ? text : "";
      }
      if (!read) {
        error = Where(p) + ": list ends in its p_default";
        return false;
      }
    } else if (IsTag(tag, p_ui)) {
      if (have_ui) {
        error = Where(p) + ": p_ui given twice";
        return false;
      }
      have_ui = true;
      if (!r.NextInt(p.def.ctrl_type) || !r.NextInt(p.def.ctrl_id)) {
        error = Where(p) + ": list ends in its p_ui";
        return false;
      }
      if (p.def.ctrl_type != ControlFor(p.def.type)) {
        error = Where(p) + Format(": p_ui control type %d does not fit %s (needs %d)",
                                  p.def.ctrl_type, TypeName(p.def.type),
                                  ControlFor(p.def.type));
        return false;
      }
    } else {
      error = Where(p) + Format(": unknown tag 0x%08X", static_cast<unsigned>(tag));
      return false;
    }
  }
}

bool ParseParam(ParamListReader& r, int id_word, ParsedParamList& out, std::string& error) {
  ParsedParamList::Param p;
  p.def.id = static_cast<ParamID>(id_word);
  p.def.ctrl_type = -1;
  if (id_word < SHRT_MIN || id_word > SHRT_MAX) {
    error = Format("expected a parameter ID or end, found 0x%08X", static_cast<unsigned>(id_word));
    return false;
  }
  for (const auto& q : out.params) {
    if (q.def.id == p.def.id) {
      error = Format("duplicate parameter ID %d", id_word);
      return false;
    }
  }
  const char* name = nullptr;
  if (!r.NextText(name)) {
    error = Where(p) + ": list ends before its internal name";
    return false;
  }
  if (!name || !*name) {
    error = Where(p) + ": null or empty internal name";
    return false;
  }
  p.name = name;
  if (!r.NextInt(p.def.type) || !r.NextInt(p.def.flags) || !r.NextInt(p.def.local_name)) {
    error = Where(p) + ": list ends inside its type, flags and name ID";
    return false;
  }
  if (p.def.type != TYPE_BOOL && p.def.type != TYPE_STRING) {
    error = Where(p) + Format(": unknown type %d", p.def.type);
    return false;
  }
  if (!ParseOptions(r, p, error)) return false;
  out.params.push_back(std::move(p));
  return true;
}

}  // namespace

bool ParseParamList(USHORT flags, ParamListReader& r, ParsedParamList& out,
                    std::string& error) {
  out = ParsedParamList{};
  error.clear();
  if (flags & P_AUTO_CONSTRUCT) {
    if (!r.NextInt(out.ref_no)) {
      error = "list ends before the reference number";
      return false;
    }
    if (out.ref_no < 0) {
      error = Format("negative reference number %d", out.ref_no);
      return false;
    }
  }
  if (flags & P_AUTO_UI) {
    if (!r.NextInt(out.dialog_template) || !r.NextInt(out.title) ||
        !r.NextInt(out.flag_mask) || !r.NextInt(out.rollup_flags) ||
        !r.NextPointer(out.dialog_proc)) {
      error = "list ends inside the rollup fields";
      return false;
    }
  }
  for (;;) {
    int word = 0;
    if (!r.NextInt(word)) {
      error = "list ends before its closing end";
      return false;
    }
    if (IsTag(word, end)) return true;
    if (out.params.size() >= static_cast<std::size_t>(kMaxParamsPerBlock)) {
      error = Format("more than %d parameters", kMaxParamsPerBlock);
      return false;
    }
    if (!ParseParam(r, word, out, error)) return false;
  }
}
