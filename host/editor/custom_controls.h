// The host's custom controls: window classes that modules name in their
// dialog templates by text (e.g. "CustEdit"), made by factories keyed by
// class name. As on the original platform, where a module's call to
// InitCustomControls registers these classes, the host's own set becomes
// available once some module has called InitCustomControls.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "res_format.h"

class QWidget;

namespace editor {

// Makes the widget of one template item as a child of `parent`.
using ControlFactory =
    std::function<QWidget*(const hostres::DialogItem& item, QWidget* parent)>;

class CustomControls {
 public:
  // The process-wide registry (window classes are process-wide too).
  static CustomControls& Instance();

  // Adds or replaces a class; names compare without regard to case.
  void Register(const std::string& class_name, ControlFactory factory);
  // Null for a class nobody registered.
  QWidget* Create(const std::u16string& class_name, const hostres::DialogItem& item,
                  QWidget* parent);
  bool Has(const std::u16string& class_name);

  // The host's set: "CustEdit", a line edit whose text is committed on Enter
  // or when it loses focus.
  static constexpr const char* kCustEdit = "CustEdit";

 private:
  CustomControls() = default;
  // Registers the host's set once InitCustomControls has run.
  void SyncWithHostLocked();

  std::mutex mutex_;
  std::map<std::string, ControlFactory> factories_;  // lower-case names
  bool host_set_registered_ = false;
};

}  // namespace editor
