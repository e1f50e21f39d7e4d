#include "win32/form_view.h"

#include "win32/native_control.h"

namespace flashpost::win32 {

namespace {

bool Is(std::string_view property, std::string_view name) {
  return property.empty() || property == name;
}

}  // namespace

void InitCommonControlClasses() {
  INITCOMMONCONTROLSEX init{};
  init.dwSize = sizeof(init);
  init.dwICC = ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&init);
}

FormView::FormView(ui::Control& root_model, HWND root_window, ViewOptions options)
    : options_(std::move(options)), root_(root_window) {
  InitCommonControlClasses();
  form_font_ = FontNamed(kFormFont);
  Subclass(root_, Container::kRoot);
  BuildChildren(root_model, root_);
}

FormView::~FormView() {
  tearing_down_ = true;
  for (auto& [control, id] : observers_) control->RemoveObserver(id);
  for (ui::OpenDialog* dialog : dialogs_) dialog->Asker = nullptr;
  if (!windows_gone_) {
    // The controls made in the root take their children with them.
    for (HWND window : own_windows_) DestroyWindow(window);
    RemoveWindowSubclass(root_, &FormView::ContainerProc, static_cast<UINT_PTR>(Container::kRoot));
    InvalidateRect(root_, nullptr, TRUE);
  }
  // No window uses them any more.
  for (auto& [face, font] : fonts_) DeleteObject(font);
  for (auto& [color, brush] : brushes_) DeleteObject(brush);
}

HWND FormView::WindowFor(const ui::Control& control) const {
  auto it = windows_.find(&control);
  return it == windows_.end() ? nullptr : it->second;
}

HWND FormView::WindowNamed(std::string_view name) const {
  for (const auto& [control, window] : windows_) {
    if (control->Name() == name) return window;
  }
  return nullptr;
}

ui::Control* FormView::ModelFor(HWND window) const {
  auto it = bindings_.find(window);
  return it == bindings_.end() ? nullptr : it->second->model;
}

HFONT FormView::FontNamed(const std::string& face) {
  auto& font = fonts_[face];
  if (font == nullptr) font = CreateFaceFont(face, kFormFontPixels);
  return font;
}

HBRUSH FormView::BrushOf(COLORREF color) {
  auto& brush = brushes_[color];
  if (brush == nullptr) brush = CreateSolidBrush(color);
  return brush;
}

void FormView::Observe(ui::Control& model, ui::Control::Observer observer) {
  auto guarded = [this, observer = std::move(observer)](ui::Control& c, std::string_view p) {
    if (!windows_gone_) observer(c, p);
  };
  observers_.emplace_back(&model, model.AddObserver(std::move(guarded)));
}

void FormView::Apply(const std::function<void()>& change) {
  ++applying_;
  change();
  --applying_;
}

// ---- Containers and their messages ----

void FormView::Subclass(HWND window, Container kind) {
  SetWindowSubclass(window, &FormView::ContainerProc, static_cast<UINT_PTR>(kind),
                    reinterpret_cast<DWORD_PTR>(this));
}

LRESULT CALLBACK FormView::ContainerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                         UINT_PTR kind, DWORD_PTR view_data) {
  auto* view = reinterpret_cast<FormView*>(view_data);
  LRESULT result = 0;
  if (view->HandleContainerMessage(window, static_cast<Container>(kind), message, wparam, lparam,
                                   &result)) {
    return result;
  }
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(window, &FormView::ContainerProc, kind);
    if (static_cast<Container>(kind) == Container::kRoot) view->windows_gone_ = true;
  }
  return DefSubclassProc(window, message, wparam, lparam);
}

bool FormView::HandleContainerMessage(HWND window, Container kind, UINT message, WPARAM wparam,
                                      LPARAM lparam, LRESULT* result) {
  switch (message) {
    case WM_COMMAND: {
      Binding* binding = BindingOf(reinterpret_cast<HWND>(lparam));
      if (binding == nullptr || !binding->on_command) return false;
      if (!Applying()) binding->on_command(HIWORD(wparam));
      *result = 0;
      return true;
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lparam);
      Binding* binding = BindingOf(header->hwndFrom);
      if (binding == nullptr || !binding->on_notify) return false;
      *result = binding->on_notify(*header);
      return true;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX: {
      Binding* binding = BindingOf(reinterpret_cast<HWND>(lparam));
      if (binding == nullptr || !binding->has_colors) return false;
      auto dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, binding->text);
      SetBkColor(dc, binding->background);
      *result = reinterpret_cast<LRESULT>(BrushOf(binding->background));
      return true;
    }
    case WM_ERASEBKGND:
    case WM_PRINTCLIENT: {
      // The tab control paints its own face; every other container shows the form's.
      if (kind == Container::kTabs) return false;
      RECT area;
      GetClientRect(window, &area);
      FillRect(reinterpret_cast<HDC>(wparam), &area, BrushOf(ToColorRef(kFaceColor)));
      if (message == WM_PRINTCLIENT) return false;  // the group box draws its frame on top
      *result = 1;
      return true;
    }
    case WM_NCHITTEST:
      // A native group box lets the mouse through to whatever lies below it, which would
      // include the controls inside it.
      if (kind != Container::kGroup) return false;
      *result = HTCLIENT;
      return true;
    case WM_SIZE:
      DockStatusBars(window);
      if (kind == Container::kTabs) {
        for (const auto& pages : page_controls_) {
          if (pages->tabs == window) PlacePages(*pages);
        }
      }
      return false;
    default:
      return false;
  }
}

FormView::Binding* FormView::BindingOf(HWND window) {
  if (window == nullptr) return nullptr;
  auto it = bindings_.find(window);
  return it == bindings_.end() ? nullptr : it->second.get();
}

// ---- Building ----

void FormView::BuildChildren(ui::Control& model, HWND parent) {
  for (ui::Control* child : model.Children()) {
    HWND window = Build(*child, parent);
    if (window != nullptr && parent == root_) own_windows_.push_back(window);
  }
  // A status bar stays on top of whatever else reaches down to the bottom edge.
  for (const StatusDock& dock : docks_) {
    if (dock.parent == parent) {
      SetWindowPos(dock.bar, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
  DockStatusBars(parent);
}

HWND FormView::Build(ui::Control& model, HWND parent) {
  HWND window = MakeWindow(model, parent);
  if (window == nullptr) return nullptr;
  if (auto* pages = dynamic_cast<ui::PageControl*>(&model)) {
    // The sheets were made as the tab control's pages.
    for (ui::TabSheet* sheet : pages->Pages()) {
      if (HWND page = WindowFor(*sheet)) BuildChildren(*sheet, page);
    }
  } else if (dynamic_cast<ui::GroupBox*>(&model) != nullptr) {
    BuildChildren(model, window);
  }
  return window;
}

HWND FormView::CreateControl(const char* window_class, DWORD style, DWORD ex_style, HWND parent,
                             const ui::Control& model) {
  const ui::Rect& r = model.Geometry();
  style |= WS_CHILD | WS_CLIPSIBLINGS;
  if (model.Visible()) style |= WS_VISIBLE;
  HWND window = CreateWindowExA(ex_style, window_class, "", style, r.left, r.top, r.width, r.height,
                                parent, reinterpret_cast<HMENU>(INT_PTR{next_id_++}),
                                GetModuleHandleA(nullptr), nullptr);
  if (window != nullptr) SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(form_font_), 0);
  return window;
}

FormView::Binding& FormView::Bind(ui::Control& model, HWND window) {
  auto binding = std::make_unique<Binding>();
  binding->model = &model;
  binding->window = window;
  Binding& ref = *binding;
  bindings_[window] = std::move(binding);
  windows_[&model] = window;
  return ref;
}

HWND FormView::MakeWindow(ui::Control& model, HWND parent) {
  HWND window = nullptr;
  if (auto* m = dynamic_cast<ui::Label*>(&model)) {
    window = MakeLabel(*m, parent);
  } else if (auto* m = dynamic_cast<ui::Button*>(&model)) {
    window = MakeButton(*m, parent);
  } else if (auto* m = dynamic_cast<ui::Edit*>(&model)) {
    window = MakeEdit(*m, parent);
  } else if (auto* m = dynamic_cast<ui::ComboBox*>(&model)) {
    window = MakeComboBox(*m, parent);
  } else if (auto* m = dynamic_cast<ui::CheckListBox*>(&model)) {
    window = MakeCheckListBox(*m, parent);
  } else if (auto* m = dynamic_cast<ui::CheckBox*>(&model)) {
    window = MakeCheckBox(*m, parent);
  } else if (auto* m = dynamic_cast<ui::RadioButton*>(&model)) {
    window = MakeRadioButton(*m, parent);
  } else if (auto* m = dynamic_cast<ui::Memo*>(&model)) {
    window = MakeMemo(*m, parent);
  } else if (auto* m = dynamic_cast<ui::ProgressBar*>(&model)) {
    window = MakeProgressBar(*m, parent);
  } else if (auto* m = dynamic_cast<ui::StatusBar*>(&model)) {
    window = MakeStatusBar(*m, parent);
  } else if (auto* m = dynamic_cast<ui::GroupBox*>(&model)) {
    window = MakeGroupBox(*m, parent);
  } else if (auto* m = dynamic_cast<ui::PageControl*>(&model)) {
    window = MakePageControl(*m, parent);
  } else if (auto* m = dynamic_cast<ui::OpenDialog*>(&model)) {
    InstallAsker(*m);  // no window: the dialog appears only while Execute asks
  }
  if (window != nullptr) Place(model, window);
  return window;
}

void FormView::Place(ui::Control& model, HWND window) {
  // A page's place is its tab control's business; a status bar's is its parent's bottom edge.
  const bool is_sheet = dynamic_cast<ui::TabSheet*>(&model) != nullptr;
  const bool is_status_bar = dynamic_cast<ui::StatusBar*>(&model) != nullptr;
  const bool is_combo = dynamic_cast<ui::ComboBox*>(&model) != nullptr;
  auto sync = [this, window, is_sheet, is_status_bar, is_combo](ui::Control& c,
                                                                std::string_view property) {
    Apply([&] {
      if (Is(property, "geometry") && !is_sheet) {
        const ui::Rect& r = c.Geometry();
        if (is_status_bar) {
          DockStatusBars(GetParent(window));
        } else if (is_combo) {
          FitComboBox(window, r);
        } else {
          SetWindowPos(window, nullptr, r.left, r.top, r.width, r.height,
                       SWP_NOZORDER | SWP_NOACTIVATE);
        }
      }
      if (Is(property, "visible") && !is_sheet)
        ShowWindow(window, c.Visible() ? SW_SHOWNA : SW_HIDE);
      // A native container does not grey what lies inside it: each control follows the state
      // the models give it, its own flag and its parents'.
      if (Is(property, "enabled")) EnableWindow(window, c.IsEffectivelyEnabled());
    });
  };
  sync(model, "");
  Observe(model, sync);
}

void FormView::DockStatusBars(HWND parent) {
  RECT area;
  if (!GetClientRect(parent, &area)) return;
  for (const StatusDock& dock : docks_) {
    if (dock.parent != parent) continue;
    const int height = dock.model->Geometry().height;
    SetWindowPos(dock.bar, nullptr, 0, area.bottom - height, area.right, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetStatusPanels(dock.bar, *dock.model);
  }
}

}  // namespace flashpost::win32
