// The view's simple controls: one native control each, kept in step with its model, and what the
// operator does to it handed to the model.
#include <algorithm>
#include <memory>

#include "win32/form_view.h"
#include "win32/native_control.h"

namespace flashpost::win32 {

namespace {

bool Is(std::string_view property, std::string_view name) {
  return property.empty() || property == name;
}

void SetText(HWND window, const std::string& text) { SetWindowTextA(window, text.c_str()); }

// A one-line label is centred in its height; a wrapping one starts at the top.
LONG_PTR LabelStyle(bool word_wrap) {
  return word_wrap ? SS_LEFT : SS_LEFTNOWORDWRAP | SS_CENTERIMAGE;
}

void SetCheck(HWND button, bool checked) {
  SendMessageA(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool ListChecked(HWND list, int item) {
  const auto state =
      static_cast<UINT>(SendMessageA(list, LVM_GETITEMSTATE, item, LVIS_STATEIMAGEMASK));
  return (state & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

void SetListChecked(HWND list, int item, bool checked) {
  LVITEMA state{};
  state.stateMask = LVIS_STATEIMAGEMASK;
  state.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
  SendMessageA(list, LVM_SETITEMSTATE, item, reinterpret_cast<LPARAM>(&state));
}

}  // namespace

HWND FormView::MakeLabel(ui::Label& model, HWND parent) {
  HWND w = CreateControl("STATIC", SS_NOPREFIX | LabelStyle(model.WordWrap()), 0, parent, model);
  if (w == nullptr) return nullptr;
  Binding& binding = Bind(model, w);
  binding.has_colors = true;
  auto sync = [this, w, &binding](ui::Control& c, std::string_view property) {
    auto& label = static_cast<ui::Label&>(c);
    Apply([&] {
      if (Is(property, "caption")) SetText(w, label.Caption());
      if (Is(property, "fontColor") || Is(property, "backgroundColor")) {
        binding.text = ToColorRef(label.FontColor());
        binding.background = ToColorRef(label.BackgroundColor());
        InvalidateRect(w, nullptr, TRUE);
      }
      if (Is(property, "fontName")) {
        SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(FontNamed(label.FontName())), TRUE);
      }
      if (Is(property, "wordWrap")) {
        SetStyle(w, SS_TYPEMASK | SS_CENTERIMAGE, LabelStyle(label.WordWrap()));
      }
    });
  };
  sync(model, "");
  Observe(model, sync);
  return w;
}

HWND FormView::MakeButton(ui::Button& model, HWND parent) {
  HWND w = CreateControl("BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, parent, model);
  if (w == nullptr) return nullptr;
  Binding& binding = Bind(model, w);
  binding.has_colors = true;
  binding.background = ToColorRef(kFaceColor);
  binding.on_command = [&model](UINT code) {
    if (code == BN_CLICKED) model.Click();
  };
  auto sync = [this, w](ui::Control& c, std::string_view property) {
    if (Is(property, "caption")) Apply([&] { SetText(w, static_cast<ui::Button&>(c).Caption()); });
  };
  sync(model, "");
  Observe(model, sync);
  return w;
}

HWND FormView::MakeEdit(ui::Edit& model, HWND parent) {
  HWND w =
      CreateControl("EDIT", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, parent, model);
  if (w == nullptr) return nullptr;
  Binding& binding = Bind(model, w);
  binding.has_colors = true;
  auto sync = [this, w, &binding](ui::Control& c, std::string_view property) {
    auto& edit = static_cast<ui::Edit&>(c);
    Apply([&] {
      // Only a real change: setting the text puts the caret at the start, under the typing.
      if (Is(property, "text") && TextOf(w) != edit.Text()) SetText(w, edit.Text());
      if (Is(property, "readOnly")) SendMessageA(w, EM_SETREADONLY, edit.ReadOnly(), 0);
      // 0 lifts the limit.
      if (Is(property, "maxLength")) SendMessageA(w, EM_SETLIMITTEXT, edit.MaxLength(), 0);
      if (Is(property, "backgroundColor")) {
        binding.background = ToColorRef(edit.BackgroundColor());
        InvalidateRect(w, nullptr, TRUE);
      }
    });
  };
  sync(model, "");
  Observe(model, sync);
  binding.on_command = [this, w, &model](UINT code) {
    if (code != EN_CHANGE) return;
    model.SetText(TextOf(w));
    if (TextOf(w) != model.Text()) Apply([&] { SetText(w, model.Text()); });
  };
  return w;
}

HWND FormView::MakeComboBox(ui::ComboBox& model, HWND parent) {
  HWND w = CreateControl("COMBOBOX", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0,
                         parent, model);
  if (w == nullptr) return nullptr;
  Binding& binding = Bind(model, w);
  auto show_selection = [w](const ui::ComboBox& combo) {
    if (SendMessageA(w, CB_GETCURSEL, 0, 0) != combo.ItemIndex()) {
      SendMessageA(w, CB_SETCURSEL, combo.ItemIndex(), 0);
    }
    if (TextOf(w) != combo.Text()) SetText(w, combo.Text());
  };
  auto sync = [this, w, show_selection](ui::Control& c, std::string_view property) {
    auto& combo = static_cast<ui::ComboBox&>(c);
    Apply([&] {
      if (Is(property, "items")) {
        SendMessageA(w, CB_RESETCONTENT, 0, 0);
        for (const auto& item : combo.Items()) {
          SendMessageA(w, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        }
      }
      // While the operator types, the edit field shows what was typed already; choosing the
      // matching item would select the whole text under the next key.
      const bool shows_selection =
          Is(property, "items") || Is(property, "text") || Is(property, "itemIndex");
      if (shows_selection && typing_into_ != &combo) show_selection(combo);
    });
  };
  sync(model, "");
  Observe(model, sync);
  binding.on_command = [this, w, &model, show_selection](UINT code) {
    if (code == CBN_EDITCHANGE) {
      typing_into_ = &model;
      model.SetText(TextOf(w));
      typing_into_ = nullptr;
      if (model.OnChange) model.OnChange();
    } else if (code == CBN_SELCHANGE) {
      const auto index = static_cast<int>(SendMessageA(w, CB_GETCURSEL, 0, 0));
      if (index == CB_ERR) return;
      model.SetItemIndex(index);
      Apply([&] { show_selection(model); });
      if (model.OnChange) model.OnChange();
    }
  };
  return w;
}

HWND FormView::MakeCheckListBox(ui::CheckListBox& model, HWND parent) {
  HWND w = CreateControl(
      WC_LISTVIEWA,
      LVS_REPORT | LVS_NOCOLUMNHEADER | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP,
      WS_EX_CLIENTEDGE, parent, model);
  if (w == nullptr) return nullptr;
  SendMessageA(w, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES, LVS_EX_CHECKBOXES);
  LVCOLUMNA column{};
  column.mask = LVCF_WIDTH;
  column.cx = model.Geometry().width;
  SendMessageA(w, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
  Binding& binding = Bind(model, w);
  auto sync = [this, w](ui::Control& c, std::string_view property) {
    auto& list = static_cast<ui::CheckListBox&>(c);
    Apply([&] {
      if (Is(property, "items")) {
        SendMessageA(w, LVM_DELETEALLITEMS, 0, 0);
        for (size_t i = 0; i < list.Items().size(); ++i) {
          LVITEMA item{};
          item.mask = LVIF_TEXT;
          item.iItem = static_cast<int>(i);
          item.pszText = const_cast<char*>(list.Items()[i].c_str());
          SendMessageA(w, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        }
        // The one column fills the list, less a scroll bar when there is one.
        SendMessageA(w, LVM_SETCOLUMNWIDTH, 0, LVSCW_AUTOSIZE_USEHEADER);
      }
      if (Is(property, "items") || Is(property, "checked")) {
        for (int i = 0; i < static_cast<int>(list.Items().size()); ++i) {
          if (ListChecked(w, i) != list.Checked(i)) SetListChecked(w, i, list.Checked(i));
        }
      }
    });
  };
  sync(model, "");
  Observe(model, sync);
  binding.on_notify = [this, w, &model](NMHDR& header) -> LRESULT {
    if (header.code != LVN_ITEMCHANGED || Applying()) return 0;
    auto& change = reinterpret_cast<NMLISTVIEW&>(header);
    const bool tick_changed = (change.uChanged & LVIF_STATE) != 0 &&
                              ((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) != 0;
    if (!tick_changed || change.iItem < 0) return 0;
    model.SetChecked(change.iItem, ListChecked(w, change.iItem));
    if (ListChecked(w, change.iItem) != model.Checked(change.iItem)) {
      Apply([&] { SetListChecked(w, change.iItem, model.Checked(change.iItem)); });
    }
    return 0;
  };
  return w;
}

// Check boxes and radio buttons alike: the model decides whether a click changes the tick
// (a handler may refuse a choice, and the models check and uncheck a radio group), so the
// buttons are of the kinds that do not tick themselves.
template <typename Model>
HWND FormView::MakeTickButton(Model& model, HWND parent, DWORD style) {
  HWND w = CreateControl("BUTTON", style | WS_TABSTOP, 0, parent, model);
  if (w == nullptr) return nullptr;
  Binding& binding = Bind(model, w);
  binding.has_colors = true;
  binding.background = ToColorRef(kFaceColor);
  auto sync = [this, w](ui::Control& c, std::string_view property) {
    auto& button = static_cast<Model&>(c);
    Apply([&] {
      if (Is(property, "caption")) SetText(w, button.Caption());
      if (Is(property, "checked")) SetCheck(w, button.Checked());
    });
  };
  sync(model, "");
  Observe(model, sync);
  binding.on_command = [this, w, &model](UINT code) {
    if (code != BN_CLICKED) return;
    model.Click();
    Apply([&] { SetCheck(w, model.Checked()); });
  };
  return w;
}

HWND FormView::MakeCheckBox(ui::CheckBox& model, HWND parent) {
  return MakeTickButton(model, parent, BS_CHECKBOX);
}

HWND FormView::MakeRadioButton(ui::RadioButton& model, HWND parent) {
  return MakeTickButton(model, parent, BS_RADIOBUTTON);
}

HWND FormView::MakeMemo(ui::Memo& model, HWND parent) {
  HWND w = CreateControl("EDIT",
                         ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL,
                         WS_EX_CLIENTEDGE, parent, model);
  if (w == nullptr) return nullptr;
  // A traffic log outgrows the default limit of 32767 characters; 0 lifts it.
  SendMessageA(w, EM_SETLIMITTEXT, 0, 0);
  Binding& binding = Bind(model, w);
  // Read-only, yet white like an edit the operator could write in.
  binding.has_colors = true;
  binding.background = RGB(255, 255, 255);
  auto shown = std::make_shared<int>(0);  // lines the control holds
  auto sync = [this, w, shown](ui::Control& c, std::string_view property) {
    if (!Is(property, "lines")) return;
    auto& memo = static_cast<ui::Memo&>(c);
    Apply([&] {
      if (memo.LineCount() == *shown + 1) {
        // The common case, a line added: no rebuild of a long traffic log.
        const int end = GetWindowTextLengthA(w);
        const std::string line = (*shown > 0 ? "\r\n" : "") + memo.Lines().back();
        SendMessageA(w, EM_SETSEL, end, end);
        SendMessageA(w, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
        SendMessageA(w, EM_SCROLLCARET, 0, 0);
      } else {
        std::string all;
        for (const auto& line : memo.Lines()) all += (all.empty() ? "" : "\r\n") + line;
        SetText(w, all);
      }
      *shown = memo.LineCount();
    });
  };
  sync(model, "");
  Observe(model, sync);
  return w;
}

HWND FormView::MakeProgressBar(ui::ProgressBar& model, HWND parent) {
  HWND w = CreateControl(PROGRESS_CLASSA, model.Smooth() ? PBS_SMOOTH : 0, 0, parent, model);
  if (w == nullptr) return nullptr;
  Bind(model, w);
  auto sync = [this, w](ui::Control& c, std::string_view property) {
    auto& bar = static_cast<ui::ProgressBar&>(c);
    Apply([&] {
      if (Is(property, "range")) SendMessageA(w, PBM_SETRANGE32, bar.Min(), bar.Max());
      if (Is(property, "range") || Is(property, "position")) {
        SendMessageA(w, PBM_SETPOS, bar.Position(), 0);
      }
      if (Is(property, "smooth")) SetStyle(w, PBS_SMOOTH, bar.Smooth() ? PBS_SMOOTH : 0);
    });
  };
  sync(model, "");
  Observe(model, sync);
  return w;
}

void FormView::SetStatusPanels(HWND bar, const ui::StatusBar& model) {
  RECT area;
  GetClientRect(bar, &area);
  std::vector<int> edges;
  int x = 0;
  for (int i = 0; i < model.PanelCount(); ++i) {
    x += model.PanelAt(i).width;
    edges.push_back(i + 1 == model.PanelCount() ? std::max<int>(x, area.right) : x);
  }
  if (edges.empty()) edges.push_back(area.right);
  SendMessageA(bar, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
}

HWND FormView::MakeStatusBar(ui::StatusBar& model, HWND parent) {
  // Placed by the view along its parent's bottom edge, at the model's height.
  HWND w = CreateControl(STATUSCLASSNAMEA, CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, 0,
                         parent, model);
  if (w == nullptr) return nullptr;
  Bind(model, w);
  docks_.push_back({w, parent, &model});
  auto sync = [this, w](ui::Control& c, std::string_view property) {
    auto& bar = static_cast<ui::StatusBar&>(c);
    Apply([&] {
      if (Is(property, "panels")) SetStatusPanels(w, bar);
      if (Is(property, "panels") || Is(property, "panelText")) {
        for (int i = 0; i < bar.PanelCount(); ++i) {
          SendMessageA(w, SB_SETTEXTA, i, reinterpret_cast<LPARAM>(bar.PanelAt(i).text.c_str()));
        }
      }
    });
  };
  sync(model, "");
  Observe(model, sync);
  return w;
}

}  // namespace flashpost::win32
