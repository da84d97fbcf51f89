// Registry of custom control classes and the host's own set.
#include "custom_controls.h"

#include <QLineEdit>

#include <cctype>

#include "host_api.h"
#include "text_codec.h"

namespace editor {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Key(const std::u16string& name) { return Lower(lumatrice::Utf16ToCp1252(name)); }

QWidget* MakeCustEdit(const hostres::DialogItem&, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  // The custom edit box draws a thin sunken frame and no focus halo.
  edit->setAttribute(Qt::WA_MacShowFocusRect, false);
  return edit;
}

}  // namespace

CustomControls& CustomControls::Instance() {
  static CustomControls* registry = new CustomControls;  // outlives every widget
  return *registry;
}

void CustomControls::Register(const std::string& class_name, ControlFactory factory) {
  std::lock_guard lock(mutex_);
  factories_[Lower(class_name)] = std::move(factory);
}

void CustomControls::SyncWithHostLocked() {
  if (host_set_registered_ || hostsdk::InitCustomControlsCount() == 0) return;
  host_set_registered_ = true;
  factories_.emplace(Lower(kCustEdit), MakeCustEdit);  // a class registered by hand wins
}

QWidget* CustomControls::Create(const std::u16string& class_name,
                                const hostres::DialogItem& item, QWidget* parent) {
  ControlFactory factory;
  {
    std::lock_guard lock(mutex_);
    SyncWithHostLocked();
    auto it = factories_.find(Key(class_name));
    if (it == factories_.end()) return nullptr;
    factory = it->second;
  }
  return factory(item, parent);
}

bool CustomControls::Has(const std::u16string& class_name) {
  std::lock_guard lock(mutex_);
  SyncWithHostLocked();
  return factories_.count(Key(class_name)) != 0;
}

}  // namespace editor
