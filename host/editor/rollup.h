// The host's automatic rollups: for each P_AUTO_UI block of an effect, its
// dialog template and title are read from the resources of the effect's
// module (never from a copy in host code), built into a page, and every
// control is bound by ID to the parameter whose p_ui entry names it (control
// type 2: check box, 5: edit box). The rollup writes a user's change at the
// dialog's time and shows the block's values again whenever the effect asks
// through ClassDesc2::InvalidateUI.
#pragma once

#include "sdk_for_qt.h"  // first: see there

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <string>
#include <vector>

#include "dialog_page.h"

// The render-effects dialog's services, as this host gives them to rollups.
class IRendParams {
 public:
  // The time at which rollups show and set values (the time slider's).
  virtual TimeValue GetTime() = 0;
  // Shows a rollup page; the dialog holds it until the rollup is deleted.
  virtual void AddRollupPage(QWidget* page) = 0;

 protected:
  ~IRendParams() = default;
};

// An open automatic rollup, as the effect hands it back to the host.
class IAutoEParamDlg {
 public:
  // Shows the blocks' current values at the dialog's time.
  virtual void InvalidateUI() = 0;
  // Closes the rollup (its pages leave the dialog) and frees it.
  virtual void DeleteThis() = 0;

 protected:
  ~IAutoEParamDlg() = default;
};

namespace editor {

class RollupHost;

// One parameter bound to its control.
struct Binding {
  ParamID param = 0;
  int ctrl_type = 0;  // TYPE_SINGLECHEKBOX or TYPE_EDITBOX
  int ctrl_id = 0;
  QWidget* widget = nullptr;
};

// A titled, collapsible page of one parameter block.
class RollupPanel : public QWidget {
  Q_OBJECT
 public:
  // On failure (no resources, no template) the panel shows why and binds nothing.
  RollupPanel(ClassDesc2* cd, ParamBlockDesc2* desc, IParamBlock2* block, IRendParams* ip);

  ParamBlockDesc2* desc() const { return desc_; }
  IParamBlock2* block() const { return block_; }
  QString title() const { return title_; }
  DialogPage* page() const { return page_; }  // null when the template could not be read
  const std::vector<Binding>& bindings() const { return bindings_; }
  // Why a control or binding is missing; empty when everything was built.
  const QStringList& problems() const { return problems_; }

  // Sets every bound control from the block at the dialog's time.
  void Refresh();
  // Stops writing to the block (it is about to go).
  void Detach();

 signals:
  // A control changed a value (after the block took it).
  void valueEdited(ParamID param);

 private:
  void Bind();
  void CommitCheck(const Binding& b, bool checked);
  void CommitEdit(const Binding& b);

  ClassDesc2* cd_;
  ParamBlockDesc2* desc_;
  IParamBlock2* block_;
  IRendParams* ip_;
  QString title_;
  DialogPage* page_ = nullptr;
  std::vector<Binding> bindings_;
  QStringList problems_;
  bool refreshing_ = false;
};

// The handle the effect's CreateParamDialog returns: one panel per P_AUTO_UI
// block of the effect.
class Rollup final : public IAutoEParamDlg {
 public:
  void InvalidateUI() override;
  void DeleteThis() override;

  SpecialFX* owner() const { return owner_; }
  std::vector<RollupPanel*> panels() const;

 private:
  friend class RollupHost;
  Rollup(RollupHost* host, SpecialFX* owner) : host_(host), owner_(owner) {}
  ~Rollup() = default;

  RollupHost* host_;
  SpecialFX* owner_;
  std::vector<QPointer<RollupPanel>> panels_;
};

// Installs the SDK's rollup hooks (CreateParamDialogs, InvalidateUI) for its
// lifetime and keeps the list of open rollups. One at a time per process.
// Runs on the GUI thread; an InvalidateUI from another thread is handed over.
class RollupHost : public QObject {
  Q_OBJECT
 public:
  RollupHost();
  ~RollupHost() override;

  const std::vector<Rollup*>& open() const { return open_; }
  // The panel showing `block`, or null.
  RollupPanel* PanelOf(IParamBlock2* block) const;

 signals:
  // After the open panels of `desc` were refreshed on the effect's request.
  void invalidated(ParamBlockDesc2* desc);
  // A control changed a value.
  void valueEdited();

 private:
  friend class Rollup;
  IAutoEParamDlg* Create(ClassDesc2* cd, IRendParams* ip, SpecialFX* obj);
  void Invalidate(ParamBlockDesc2* desc);
  void Close(Rollup* rollup);

  std::vector<Rollup*> open_;
};

}  // namespace editor
