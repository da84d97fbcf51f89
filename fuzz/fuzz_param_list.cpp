// Fuzz target: the parameter-block descriptor's tagged-list parser, fed
// typed lists decoded from the input. A list either builds a descriptor whose
// definitions are all sound and whose block answers every read, or is
// refused with a reason; nothing in between.
//
// Input: two bytes of block flags, then items, each led by one op byte:
//   op%8 == 0  int, 4 bytes little-endian      4  p_default
//          1  text, length byte (0xFF: null)  5  p_ui
//          2  pointer (null when op bit 3 clear) 6  small int (op>>3) - 4
//          3  end                             7  int, 2 bytes little-endian
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "host_sdk.h"
#include "param_block.h"
#include "param_list.h"

namespace {

class FuzzClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override { return 1; }
  void* Create(BOOL) override { return nullptr; }
  const char* ClassName() override { return "Fuzz"; }
  SClass_ID SuperClassID() override { return RENDER_EFFECT_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(7, 7); }
  const char* Category() override { return ""; }
};

struct Decoded {
  USHORT flags = 0;
  std::vector<ParamItem> items;
  std::deque<std::string> texts;  // stable addresses for the items' pointers
};

Decoded Decode(const std::uint8_t* data, std::size_t size) {
  Decoded d;
  std::size_t at = 0;
  auto byte = [&]() -> unsigned { return at < size ? data[at++] : 0u; };
  d.flags = static_cast<USHORT>(byte() | byte() << 8);
  static const int kDummy = 0;
  while (at < size) {
    const unsigned op = byte();
    switch (op % 8) {
      case 0: {
        unsigned v = byte();
        v |= byte() << 8;
        v |= byte() << 16;
        v |= byte() << 24;
        d.items.emplace_back(static_cast<int>(v));
        break;
      }
      case 1: {
        const unsigned n = byte();
        if (n == 0xFF) {
          d.items.emplace_back(static_cast<const char*>(nullptr));
          break;
        }
        std::string& text = d.texts.emplace_back();
        for (unsigned i = 0; i < n && at < size; ++i) text.push_back(static_cast<char>(byte()));
        d.items.emplace_back(text.c_str());
        break;
      }
      case 2:
        d.items.push_back(ParamItem::Ptr(op & 8 ? &kDummy : nullptr));
        break;
      case 3: d.items.emplace_back(end); break;
      case 4: d.items.emplace_back(p_default); break;
      case 5: d.items.emplace_back(p_ui); break;
      case 6: d.items.emplace_back(static_cast<int>(op >> 3) - 4); break;
      case 7: {
        unsigned v = byte();
        v |= byte() << 8;
        d.items.emplace_back(static_cast<int>(static_cast<std::int16_t>(v)));
        break;
      }
    }
  }
  return d;
}

void CheckParsed(const ParsedParamList& list, USHORT flags) {
  FUZZ_CHECK(list.params.size() <= static_cast<std::size_t>(kMaxParamsPerBlock));
  FUZZ_CHECK((flags & P_AUTO_CONSTRUCT) ? list.ref_no >= 0 : list.ref_no == -1);
  std::set<int> ids;
  for (const auto& p : list.params) {
    FUZZ_CHECK(ids.insert(p.def.id).second);
    FUZZ_CHECK(!p.name.empty());
    FUZZ_CHECK(p.def.type == TYPE_BOOL || p.def.type == TYPE_STRING);
    FUZZ_CHECK(p.def.ctrl_type == -1 ||
               p.def.ctrl_type == (p.def.type == TYPE_BOOL ? TYPE_SINGLECHEKBOX : TYPE_EDITBOX));
  }
}

// A valid descriptor must give a block whose every parameter reads back what
// was stored, at any time.
void ExerciseBlock(ParamBlockDesc2& desc, const std::vector<ParamItem>& items) {
  ParamBlock2* block = new ParamBlock2(&desc);
  FUZZ_CHECK(block->NumParams() == desc.Count());
  int salt = items.empty() ? 0 : items.front().i;
  for (int i = 0; i < desc.Count(); ++i) {
    const ParamDef* def = desc.GetParamDef(i);
    FUZZ_CHECK(def && desc.GetParamDefByID(def->id) == def);
    if (def->type == TYPE_BOOL) {
      int v = -1;
      Interval valid = FOREVER;
      FUZZ_CHECK(block->GetValue(def->id, 0, v, valid));
      FUZZ_CHECK(v == (def->def_int != 0 ? 1 : 0) || v == def->def_int);
      FUZZ_CHECK(block->SetValue(def->id, salt, salt & 1));
      FUZZ_CHECK(block->GetValue(def->id, salt, v, valid) && v == (salt & 1));
      // A switch is not a text.
      FUZZ_CHECK(std::string(block->GetStr(def->id, 0)).empty());
    } else {
      const char* s = block->GetStr(def->id, salt);
      FUZZ_CHECK(s != nullptr && std::string(s) == def->def_str);
      FUZZ_CHECK(block->SetValue(def->id, salt, def->int_name));
      FUZZ_CHECK(std::string(block->GetStr(def->id, -salt)) == def->int_name);
    }
  }
  block->DeleteThis();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Decoded d = Decode(data, size);

  ItemListReader reader(d.items);
  ParsedParamList parsed;
  std::string error;
  const bool ok = ParseParamList(d.flags, reader, parsed, error);
  FUZZ_CHECK(reader.Consumed() <= d.items.size());
  if (!ok) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(error.empty());
  CheckParsed(parsed, d.flags);

  // The same list through the descriptor: valid, attached, and the same
  // definitions the parser gave.
  FuzzClassDesc cd;
  ParamBlockDesc2 desc(1, "Fuzz Block", 0, nullptr, 0, end);
  ItemListReader again(d.items);
  FUZZ_CHECK(RebuildParamBlockDesc(desc, 1, "Fuzz Block", 0, &cd, d.flags, again));
  FUZZ_CHECK(desc.IsValid() && desc.Count() == static_cast<int>(parsed.params.size()));
  FUZZ_CHECK(cd.NumParamBlockDescs() == 1);
  ExerciseBlock(desc, d.items);
  return 0;
}
