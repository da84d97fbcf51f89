// The host's object model: animatables, references between objects, and the
// chunked save/load streams.
//
// Ownership: the host owns every object; a ReferenceMaker holds pointers to
// its targets, and each target keeps the list of makers that depend on it, so
// NotifyDependents reaches them. ReplaceReference keeps both sides in step.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "sdk_types.h"

class IParamBlock2;
class ReferenceTarget;
class RefDependents;  // host-side list of dependents

using RefTargetHandle = ReferenceTarget*;

class ISave {
 public:
  virtual ~ISave() = default;
  virtual void BeginChunk(USHORT id) = 0;
  virtual void EndChunk() = 0;
  virtual IOResult Write(const void* buf, ULONG nbytes, ULONG* nwritten) = 0;
  virtual IOResult WriteCString(const char* str) = 0;
};

class ILoad {
 public:
  virtual ~ILoad() = default;
  // IO_END when no chunk is left at this level.
  virtual IOResult OpenChunk() = 0;
  virtual USHORT CurChunkID() = 0;
  virtual IOResult CloseChunk() = 0;
  virtual IOResult Read(void* buf, ULONG nbytes, ULONG* nread) = 0;
  // The text stays owned by the loader until it is destroyed.
  virtual IOResult ReadCStringChunk(char** buf) = 0;
};

class Animatable {
 public:
  Animatable();
  virtual ~Animatable();
  virtual void GetClassName(CStr& s);
  virtual Class_ID ClassID();
  virtual SClass_ID SuperClassID();
  virtual void DeleteThis();  // default: delete this
  virtual int NumSubs();
  virtual Animatable* SubAnim(int i);
  virtual CStr SubAnimName(int i);
  virtual int NumParamBlocks();
  virtual IParamBlock2* GetParamBlock(int i);
  virtual IParamBlock2* GetParamBlockByID(BlockID id);
};

class ReferenceMaker : public Animatable {
 public:
  ReferenceMaker();
  ~ReferenceMaker() override;
  virtual IOResult Save(ISave* isave);
  virtual IOResult Load(ILoad* iload);
  virtual int NumRefs();
  virtual RefTargetHandle GetReference(int i);
  virtual void SetReference(int i, RefTargetHandle target);
  virtual RefResult NotifyRefChanged(Interval changeInt, RefTargetHandle hTarget,
                                     PartID& partID, RefMessage message) = 0;
  virtual int RenderBegin(TimeValue t, ULONG flags = 0);
  virtual int RenderEnd(TimeValue t);

  // Sets reference `which` through SetReference and moves this maker from the
  // old target's dependents to the new one's.
  RefResult ReplaceReference(int which, RefTargetHandle target);
  // Drops every reference (SetReference(i, nullptr)) and its dependency.
  void DeleteAllRefs();

 private:
  friend class ReferenceTarget;
  RefDependents* targets_;  // targets this maker depends on, so both sides unlink
};

class ReferenceTarget : public ReferenceMaker {
 public:
  ReferenceTarget();
  ~ReferenceTarget() override;
  // Calls NotifyRefChanged on every maker that references this target.
  RefResult NotifyDependents(Interval changeInt, PartID partID, RefMessage message);
  int NumDependents() const;

 private:
  friend class ReferenceMaker;
  RefDependents* dependents_;
};
