// SpecialFX and Effect: the named, saved base of every render effect.
#include "chunk_stream.h"
#include "sdk_effect.h"

SpecialFX::SpecialFX() = default;
SpecialFX::~SpecialFX() = default;
CStr SpecialFX::GetName() { return name; }
void SpecialFX::Update(TimeValue, Interval&) {}

IOResult SpecialFX::Save(ISave* isave) {
  if (!isave) return IO_ERROR;
  isave->BeginChunk(kSpecialFXNameChunk);
  IOResult result = isave->WriteCString(name.data());
  isave->EndChunk();
  return result;
}

// Reads chunks of this level up to and including the name chunk, so chunks a
// derived class writes after the base data stay for it to read. No name chunk
// at all leaves the name as it is.
IOResult SpecialFX::Load(ILoad* iload) {
  if (!iload) return IO_ERROR;
  for (;;) {
    IOResult opened = iload->OpenChunk();
    if (opened == IO_END) return IO_OK;
    if (opened != IO_OK) return IO_ERROR;
    if (iload->CurChunkID() == kSpecialFXNameChunk) {
      char* text = nullptr;
      IOResult read = iload->ReadCStringChunk(&text);
      IOResult closed = iload->CloseChunk();
      if (read != IO_OK || closed != IO_OK) return IO_ERROR;
      name = text;
      return IO_OK;
    }
    if (iload->CloseChunk() != IO_OK) return IO_ERROR;
  }
}

Effect::Effect() = default;
Effect::~Effect() = default;
SClass_ID Effect::SuperClassID() { return RENDER_EFFECT_CLASS_ID; }
IAutoEParamDlg* Effect::CreateParamDialog(IRendParams*) { return nullptr; }
DWORD Effect::GBufferChannelsRequired(TimeValue) { return 0; }
