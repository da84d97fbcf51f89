// Rollups: pages built from module resources, bindings, refresh and the SDK hooks.
#include "rollup.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "ansi_text.h"
#include "host_api.h"
#include "module_resources.h"

namespace editor {
namespace {

RollupHost* g_host = nullptr;

}  // namespace

// ---- panel -------------------------------------------------------------------

RollupPanel::RollupPanel(ClassDesc2* cd, ParamBlockDesc2* desc, IParamBlock2* block,
                         IRendParams* ip)
    : cd_(cd), desc_(desc), block_(block), ip_(ip) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* header = new QToolButton(this);
  header->setObjectName("rollupTitle");
  header->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  header->setArrowType(Qt::DownArrow);
  header->setCheckable(true);
  header->setChecked(true);
  header->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  layout->addWidget(header);

  if (!block_)
    problems_ << QStringLiteral("the effect has no parameter block %1").arg(desc->ID());
  std::string error;
  const std::optional<hostres::ResourceSet> resources =
      hostres::ModuleResources(cd ? cd->HInstance() : nullptr, &error);
  std::optional<hostres::DialogTemplate> tmpl;
  if (!resources) {
    problems_ << QStringLiteral("the module's resources cannot be read: %1")
                     .arg(QString::fromStdString(error));
  } else {
    if (const auto t = resources->String(std::uint32_t(desc->Title())))
      title_ = QString::fromStdU16String(*t);
    tmpl = resources->Dialog(std::uint16_t(desc->DialogTemplate()), &error);
    if (!tmpl)
      problems_ << QStringLiteral("dialog %1 cannot be read from the module's resources: %2")
                       .arg(desc->DialogTemplate())
                       .arg(QString::fromStdString(error));
  }
  if (title_.isEmpty()) title_ = QString::fromUtf8(desc->InternalName());
  header->setText(title_);

  QWidget* body = nullptr;
  if (tmpl) {
    page_ = new DialogPage(*tmpl, this);
    problems_ << page_->problems();
    body = page_;
    Bind();
  } else {
    auto* note = new QLabel(problems_.join('\n'), this);
    note->setWordWrap(true);
    body = note;
  }
  layout->addWidget(body, 0, Qt::AlignLeft);
  connect(header, &QToolButton::toggled, this, [header, body](bool open) {
    header->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    body->setVisible(open);
  });
  Refresh();
}

void RollupPanel::Bind() {
  for (int i = 0; i < desc_->Count(); ++i) {
    const ParamDef* def = desc_->GetParamDef(i);
    if (!def || def->ctrl_type < 0) continue;
    const QString what = QStringLiteral("parameter %1 (%2), control %3")
                             .arg(def->id)
                             .arg(QString::fromUtf8(def->int_name))
                             .arg(def->ctrl_id);
    QWidget* w = page_->Control(def->ctrl_id);
    if (!w) {
      problems_ << what + ": the dialog has no such control";
      continue;
    }
    if (std::any_of(bindings_.begin(), bindings_.end(),
                    [&](const Binding& b) { return b.widget == w; })) {
      problems_ << what + ": the control is bound already";
      continue;
    }
    Binding b{def->id, def->ctrl_type, def->ctrl_id, w};
    auto* button = qobject_cast<QAbstractButton*>(w);
    auto* edit = qobject_cast<QLineEdit*>(w);
    if (def->ctrl_type == TYPE_SINGLECHEKBOX && def->type == TYPE_BOOL && button &&
        button->isCheckable()) {
      connect(button, &QAbstractButton::clicked, this,
              [this, b](bool checked) { CommitCheck(b, checked); });
    } else if (def->ctrl_type == TYPE_EDITBOX && def->type == TYPE_STRING && edit) {
      connect(edit, &QLineEdit::editingFinished, this, [this, b] { CommitEdit(b); });
    } else {
      problems_ << what + ": the control does not fit the parameter's type";
      continue;
    }
    bindings_.push_back(b);
  }
}

void RollupPanel::CommitCheck(const Binding& b, bool checked) {
  if (!block_ || refreshing_) return;
  block_->SetValue(b.param, ip_->GetTime(), checked ? 1 : 0);
  // A block that refused the value (or whose effect did not ask for a
  // refresh) must not leave the box showing something else.
  Refresh();
  emit valueEdited(b.param);
}

void RollupPanel::CommitEdit(const Binding& b) {
  if (!block_ || refreshing_) return;
  auto* edit = static_cast<QLineEdit*>(b.widget);
  const std::string text = ToCp1252(edit->text());
  edit->setModified(false);
  if (text != block_->GetStr(b.param, ip_->GetTime())) {
    block_->SetValue(b.param, ip_->GetTime(), text.c_str());
    emit valueEdited(b.param);
  }
  Refresh();
}

void RollupPanel::Refresh() {
  if (!block_) return;
  refreshing_ = true;
  const TimeValue t = ip_->GetTime();
  for (const Binding& b : bindings_) {
    if (b.ctrl_type == TYPE_SINGLECHEKBOX) {
      int v = 0;
      Interval valid = FOREVER;
      block_->GetValue(b.param, t, v, valid);
      auto* button = static_cast<QAbstractButton*>(b.widget);
      const QSignalBlocker quiet(button);
      button->setChecked(v != 0);
    } else {
      auto* edit = static_cast<QLineEdit*>(b.widget);
      // Text being typed stays until it is committed.
      if (edit->hasFocus() && edit->isModified()) continue;
      const QString text = FromCp1252(block_->GetStr(b.param, t));
      if (edit->text() != text) {
        const QSignalBlocker quiet(edit);
        edit->setText(text);
      }
      edit->setModified(false);
    }
  }
  refreshing_ = false;
}

void RollupPanel::Detach() {
  block_ = nullptr;
  setEnabled(false);
}

// ---- rollup ------------------------------------------------------------------

void Rollup::InvalidateUI() {
  for (auto& p : panels_)
    if (p) p->Refresh();
}

void Rollup::DeleteThis() {
  for (auto& p : panels_) {
    if (!p) continue;
    p->Detach();
    p->hide();
    p->deleteLater();  // may be inside one of its own signals
  }
  if (host_) host_->Close(this);
  delete this;
}

std::vector<RollupPanel*> Rollup::panels() const {
  std::vector<RollupPanel*> out;
  for (const auto& p : panels_)
    if (p) out.push_back(p);
  return out;
}

// ---- host ----------------------------------------------------------------------

RollupHost::RollupHost() {
  g_host = this;
  hostsdk::SetParamDialogHooks(
      [](ClassDesc2* cd, IRendParams* ip, SpecialFX* obj) -> IAutoEParamDlg* {
        return g_host ? g_host->Create(cd, ip, obj) : nullptr;
      },
      [](ClassDesc2*, ParamBlockDesc2* pbd) {
        RollupHost* host = g_host;
        if (!host) return;
        if (QThread::currentThread() == host->thread()) {
          host->Invalidate(pbd);
        } else {
          QPointer<RollupHost> guard(host);
          QMetaObject::invokeMethod(host, [guard, pbd] {
            if (guard) guard->Invalidate(pbd);
          }, Qt::QueuedConnection);
        }
      });
}

RollupHost::~RollupHost() {
  hostsdk::SetParamDialogHooks({}, {});
  for (Rollup* r : open_) r->host_ = nullptr;  // their owners may still delete them
  if (g_host == this) g_host = nullptr;
}

IAutoEParamDlg* RollupHost::Create(ClassDesc2* cd, IRendParams* ip, SpecialFX* obj) {
  if (!cd || !ip || !obj) return nullptr;
  auto* rollup = new Rollup(this, obj);
  for (int i = 0; i < cd->NumParamBlockDescs(); ++i) {
    ParamBlockDesc2* desc = cd->GetParamBlockDesc(i);
    if (!desc || !(desc->Flags() & P_AUTO_UI)) continue;
    auto* panel = new RollupPanel(cd, desc, obj->GetParamBlockByID(desc->ID()), ip);
    connect(panel, &RollupPanel::valueEdited, this, [this] { emit valueEdited(); });
    rollup->panels_.push_back(panel);
    ip->AddRollupPage(panel);
  }
  open_.push_back(rollup);
  return rollup;
}

void RollupHost::Invalidate(ParamBlockDesc2* desc) {
  for (Rollup* r : open_)
    for (RollupPanel* p : r->panels())
      if (p->desc() == desc) p->Refresh();
  emit invalidated(desc);
}

void RollupHost::Close(Rollup* rollup) { std::erase(open_, rollup); }

RollupPanel* RollupHost::PanelOf(IParamBlock2* block) const {
  for (Rollup* r : open_)
    for (RollupPanel* p : r->panels())
      if (p->block() == block) return p;
  return nullptr;
}

}  // namespace editor
