// The view's containers: group boxes and the page control with its pages. Each is subclassed so
// that the notifications and colour requests of the controls inside reach the view.
#include <algorithm>

#include "win32/form_view.h"
#include "win32/native_control.h"

namespace flashpost::win32 {

namespace {

constexpr const char* kPageClass = "FlashpostPage";

bool Is(std::string_view property, std::string_view name) {
  return property.empty() || property == name;
}

// A page is a plain window; the view paints its face and answers for its children.
void RegisterPageClass() {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = kPageClass;
  // A second view finds the class registered already, which is just as good.
  RegisterClassExA(&wc);
}

int TabIndexOf(const std::vector<ui::TabSheet*>& shown, const ui::TabSheet* sheet) {
  auto it = std::find(shown.begin(), shown.end(), sheet);
  return it == shown.end() ? -1 : static_cast<int>(it - shown.begin());
}

}  // namespace

HWND FormView::MakeGroupBox(ui::GroupBox& model, HWND parent) {
  HWND w =
      CreateControl("BUTTON", BS_GROUPBOX | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, parent, model);
  if (w == nullptr) return nullptr;
  Subclass(w, Container::kGroup);
  Binding& binding = Bind(model, w);
  binding.has_colors = true;
  binding.background = ToColorRef(kFaceColor);
  auto sync = [this, w](ui::Control& c, std::string_view property) {
    if (Is(property, "caption")) {
      Apply([&] { SetWindowTextA(w, static_cast<ui::GroupBox&>(c).Caption().c_str()); });
    }
  };
  sync(model, "");
  Observe(model, sync);
  return w;
}

HWND FormView::MakePageControl(ui::PageControl& model, HWND parent) {
  HWND tabs = CreateControl(WC_TABCONTROLA, WS_CLIPCHILDREN | WS_TABSTOP, WS_EX_CONTROLPARENT,
                            parent, model);
  if (tabs == nullptr) return nullptr;
  Subclass(tabs, Container::kTabs);
  Binding& binding = Bind(model, tabs);
  auto owned = std::make_unique<Pages>();
  Pages& pages = *owned;
  page_controls_.push_back(std::move(owned));
  pages.model = &model;
  pages.tabs = tabs;
  pages.sheets = model.Pages();

  RegisterPageClass();
  for (ui::TabSheet* sheet : pages.sheets) {
    HWND page = CreateWindowExA(
        WS_EX_CONTROLPARENT, kPageClass, "", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 0,
        0, tabs, reinterpret_cast<HMENU>(INT_PTR{next_id_++}), GetModuleHandleA(nullptr), nullptr);
    if (page == nullptr) continue;
    SendMessageA(page, WM_SETFONT, reinterpret_cast<WPARAM>(form_font_), 0);
    Subclass(page, Container::kPage);
    Bind(*sheet, page);
    Place(*sheet, page);
    Observe(*sheet, [this, &pages](ui::Control&, std::string_view property) {
      if (Is(property, "caption") || Is(property, "tabVisible") || Is(property, "visible")) {
        ShowTabs(pages);
      }
    });
  }
  ShowTabs(pages);
  PlacePages(pages);
  Observe(model, [this, &pages](ui::Control&, std::string_view property) {
    if (Is(property, "activePage")) ShowActivePage(pages);
  });
  binding.on_notify = [this, &pages](NMHDR& header) -> LRESULT {
    if (header.code != TCN_SELCHANGE || Applying()) return 0;
    const auto index = static_cast<int>(SendMessageA(pages.tabs, TCM_GETCURSEL, 0, 0));
    if (index >= 0 && index < static_cast<int>(pages.shown.size())) {
      pages.model->SetActivePage(pages.shown[index]);
    }
    // The tab the operator picked stays picked only when the model turned to its page.
    ShowActivePage(pages);
    return 0;
  };
  return tabs;
}

void FormView::ShowTabs(Pages& pages) {
  Apply([&] {
    // The tab control cannot hide a tab: the tabs shown are made anew.
    SendMessageA(pages.tabs, TCM_DELETEALLITEMS, 0, 0);
    pages.shown.clear();
    for (ui::TabSheet* sheet : pages.sheets) {
      if (!options_.show_hidden_tabs && !(sheet->TabVisible() && sheet->Visible())) continue;
      TCITEMA item{};
      item.mask = TCIF_TEXT;
      item.pszText = const_cast<char*>(sheet->Caption().c_str());
      SendMessageA(pages.tabs, TCM_INSERTITEMA, pages.shown.size(),
                   reinterpret_cast<LPARAM>(&item));
      pages.shown.push_back(sheet);
    }
  });
  ShowActivePage(pages);
}

void FormView::ShowActivePage(Pages& pages) {
  Apply([&] {
    const ui::TabSheet* active = pages.model->ActivePage();
    // The active page shows even when its tab is hidden, as the automatic page does.
    SendMessageA(pages.tabs, TCM_SETCURSEL, TabIndexOf(pages.shown, active), 0);
    for (ui::TabSheet* sheet : pages.sheets) {
      if (HWND page = WindowFor(*sheet)) ShowWindow(page, sheet == active ? SW_SHOWNA : SW_HIDE);
    }
  });
}

void FormView::PlacePages(const Pages& pages) {
  RECT area;
  GetClientRect(pages.tabs, &area);
  // The area of the tab control inside its frame and below its tabs.
  SendMessageA(pages.tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  for (ui::TabSheet* sheet : pages.sheets) {
    if (HWND page = WindowFor(*sheet)) {
      SetWindowPos(page, nullptr, area.left, area.top, area.right - area.left,
                   area.bottom - area.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
}

}  // namespace flashpost::win32
