// Class descriptors: how the host learns a plug-in class and creates objects
// of it. ClassDesc is the plain descriptor; ClassDesc2 adds parameter-block
// descriptors, automatic block construction and the automatic rollup.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "sdk_paramblock.h"

class Interface;
class IRendParams;     // the render-effects dialog's services (host)
class IAutoEParamDlg;  // an automatic rollup built by the host
class SpecialFX;

class ClassDesc {
 public:
  ClassDesc();
  virtual ~ClassDesc();
  virtual int IsPublic() = 0;
  virtual void* Create(BOOL loading = FALSE) = 0;
  virtual const char* ClassName() = 0;
  virtual SClass_ID SuperClassID() = 0;
  virtual Class_ID ClassID() = 0;
  virtual const char* Category() = 0;
  virtual BOOL OkToCreate(Interface* i);       // default TRUE
  virtual const char* InternalName();          // default null
  virtual HINSTANCE HInstance();               // default null
  virtual int NumParamBlockDescs();            // default 0
  virtual ParamBlockDesc2* GetParamBlockDesc(int i);
  virtual ParamBlockDesc2* GetParamBlockDescByID(BlockID id);
  virtual void AddParamBlockDesc(ParamBlockDesc2* pbd);
};

class ClassDesc2 : public ClassDesc {
 public:
  ClassDesc2();
  ~ClassDesc2() override;
  int NumParamBlockDescs() override;
  ParamBlockDesc2* GetParamBlockDesc(int i) override;
  ParamBlockDesc2* GetParamBlockDescByID(BlockID id) override;
  void AddParamBlockDesc(ParamBlockDesc2* pbd) override;

  // Builds a block for every P_AUTO_CONSTRUCT descriptor and stores it in the
  // owner as that descriptor's reference (through SetReference).
  void MakeAutoParamBlocks(ReferenceMaker* owner);
  // Builds the automatic rollup of the owner's P_AUTO_UI blocks.
  IAutoEParamDlg* CreateParamDialogs(IRendParams* ip, SpecialFX* obj);
  // Asks every open rollup of pbd to show current values.
  void InvalidateUI(ParamBlockDesc2* pbd);
  // Text of a string resource of HInstance(); null when missing.
  const char* GetRsrcString(int id);

  struct Impl;

 private:
  Impl* impl_;
};
