#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ui/control.h"
#include "win32/windows_api.h"

namespace flashpost::win32 {

// The form's face colour (clBtnFace), under every control that does not paint its own.
constexpr ui::Color kFaceColor = 0xF0F0F0;
// The form's default font, "MS Sans Serif" at 8 points (11 pixels at 96 dpi).
constexpr const char* kFormFont = "MS Sans Serif";
constexpr int kFormFontPixels = 11;

// The models keep colours as 0x00BBGGRR, which is the layout of a COLORREF already.
inline COLORREF ToColorRef(ui::Color color) { return static_cast<COLORREF>(color & 0xFFFFFF); }

// The form's filter, pairs of "description|patterns" joined by '|', as GetOpenFileName takes it:
// every description and pattern list ended by a NUL, the whole ended by a second NUL
// ("Binary File (*.bin)|*.bin" becomes "Binary File (*.bin)\0*.bin\0\0"). A description without
// its patterns is left out; an empty filter gives an empty string (no filter at all).
std::string Win32FileFilter(const std::string& filter);

// Registers the common control classes the view creates (list view, progress bar, status bar,
// tab control). Harmless to call again.
void InitCommonControlClasses();

struct ViewOptions {
  // The engineering view: every page's tab shows, whatever the form hides.
  bool show_hidden_tabs = false;
  // Asks the operator for a file to open: (owner window, preset file name, filter as
  // Win32FileFilter makes it); an empty result means cancelled. GetOpenFileNameA unless replaced.
  std::function<std::string(HWND, const std::string&, const std::string&)> ask_open_file;
};

// A Win32 view of a tree of control models: one native control per control of a kind it knows,
// placed at the control's geometry inside its parent's window, found by the control's name, and
// kept in step with the model through observers. What the operator does to a control (typing,
// selecting, ticking, clicking) goes to the model and its handler. The tree is walked once at
// construction; controls of other kinds (timers) get no window, nor does anything inside them.
//
// The root window and the containers (group boxes, the tab control, its pages) are subclassed,
// since the native group box and tab control keep their children's notifications and colour
// requests to themselves. The view owns the windows it makes, the fonts and the brushes, and
// destroys them when it goes; it must go before the models it observes and live on the main
// thread.
class FormView {
 public:
  // Builds windows for every child of root_model inside root_window.
  FormView(ui::Control& root_model, HWND root_window, ViewOptions options = {});
  ~FormView();
  FormView(const FormView&) = delete;
  FormView& operator=(const FormView&) = delete;

  // The window shown for a control, or nullptr.
  HWND WindowFor(const ui::Control& control) const;
  // The window of the control of that name, or nullptr.
  HWND WindowNamed(std::string_view name) const;
  // The control a window shows, or nullptr.
  ui::Control* ModelFor(HWND window) const;

  HFONT FormFont() const { return form_font_; }

 private:
  // What a window that holds controls is, for the messages the view answers on its behalf.
  enum class Container : UINT_PTR { kRoot = 1, kGroup, kTabs, kPage };

  // One control's window and what it does with the notifications it sends its parent.
  struct Binding {
    ui::Control* model = nullptr;
    HWND window = nullptr;
    std::function<void(UINT code)> on_command;        // WM_COMMAND: BN_CLICKED, EN_CHANGE...
    std::function<LRESULT(NMHDR& header)> on_notify;  // WM_NOTIFY: LVN_ITEMCHANGED...
    // Painted through WM_CTLCOLOR* in these colours when has_colors.
    bool has_colors = false;
    COLORREF text = 0;
    COLORREF background = 0;
  };

  // A status bar kept along the bottom of its parent, the whole width, at the model's height.
  struct StatusDock {
    HWND bar = nullptr;
    HWND parent = nullptr;
    const ui::StatusBar* model = nullptr;
  };

  // A page control's tab control, its pages' windows and the tabs shown now.
  struct Pages {
    ui::PageControl* model = nullptr;
    HWND tabs = nullptr;
    std::vector<ui::TabSheet*> sheets;
    std::vector<ui::TabSheet*> shown;  // the sheet of each tab, by tab index
  };

  static LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                        UINT_PTR kind, DWORD_PTR view);
  // The messages of a container that the view handles itself; true when it answered with *result.
  bool HandleContainerMessage(HWND window, Container kind, UINT message, WPARAM wparam,
                              LPARAM lparam, LRESULT* result);
  void Subclass(HWND window, Container kind);
  LRESULT ControlColor(HDC dc, HWND control, UINT message, WPARAM wparam, LPARAM lparam,
                       HWND container);

  void BuildChildren(ui::Control& model, HWND parent);
  // The window for one control and, for a container, its subtree; nullptr for a kind without one.
  HWND Build(ui::Control& model, HWND parent);
  HWND MakeWindow(ui::Control& model, HWND parent);
  HWND CreateControl(const char* window_class, DWORD style, DWORD ex_style, HWND parent,
                     const ui::Control& model);
  Binding& Bind(ui::Control& model, HWND window);
  Binding* BindingOf(HWND window);
  void Place(ui::Control& model, HWND window);
  void Observe(ui::Control& model, ui::Control::Observer observer);
  // Runs a change of the windows that the model asked for; the notifications it sets off are
  // not taken for the operator's input.
  void Apply(const std::function<void()>& change);
  bool Applying() const { return applying_ > 0 || tearing_down_; }

  // One per kind of control (form_view_controls.cpp, form_view_containers.cpp).
  HWND MakeLabel(ui::Label& model, HWND parent);
  HWND MakeButton(ui::Button& model, HWND parent);
  HWND MakeEdit(ui::Edit& model, HWND parent);
  HWND MakeComboBox(ui::ComboBox& model, HWND parent);
  HWND MakeCheckListBox(ui::CheckListBox& model, HWND parent);
  HWND MakeCheckBox(ui::CheckBox& model, HWND parent);
  HWND MakeRadioButton(ui::RadioButton& model, HWND parent);
  template <typename Model>
  HWND MakeTickButton(Model& model, HWND parent, DWORD style);
  HWND MakeMemo(ui::Memo& model, HWND parent);
  HWND MakeProgressBar(ui::ProgressBar& model, HWND parent);
  HWND MakeStatusBar(ui::StatusBar& model, HWND parent);
  HWND MakeGroupBox(ui::GroupBox& model, HWND parent);
  HWND MakePageControl(ui::PageControl& model, HWND parent);
  void ShowTabs(Pages& pages);
  void ShowActivePage(Pages& pages);
  void PlacePages(const Pages& pages);
  void DockStatusBars(HWND parent);
  // The panels' edges, the last one at the bar's right edge. Set again after every move: a
  // status bar placed by its parent (CCS_NORESIZE) need not work out its panels anew when its
  // size changes (Wine's does not), nor when it is given the edges it has.
  static void SetStatusPanels(HWND bar, const ui::StatusBar& model);
  void InstallAsker(ui::OpenDialog& dialog);

  // A font of the face at the form's size, made once and kept for the view's life.
  HFONT FontNamed(const std::string& face);
  // A solid brush of the colour, made once and kept for the view's life.
  HBRUSH BrushOf(COLORREF color);

  ViewOptions options_;
  HWND root_;
  HFONT form_font_ = nullptr;
  std::map<std::string, HFONT> fonts_;
  std::map<COLORREF, HBRUSH> brushes_;
  std::map<const ui::Control*, HWND> windows_;
  std::map<HWND, std::unique_ptr<Binding>> bindings_;
  std::vector<HWND> own_windows_;  // made directly in the root: destroying them takes the rest
  std::vector<std::pair<ui::Control*, int>> observers_;
  std::vector<ui::OpenDialog*> dialogs_;
  std::vector<StatusDock> docks_;
  std::vector<std::unique_ptr<Pages>> page_controls_;
  int next_id_ = 1000;  // clear of IDOK and IDCANCEL, which the dialog keys send
  int applying_ = 0;
  bool tearing_down_ = false;
  // The root window was destroyed under the view: every window of the view went with it.
  bool windows_gone_ = false;
  // The combo box being typed into: its selection is left alone while the model takes the text.
  const ui::ComboBox* typing_into_ = nullptr;
};

}  // namespace flashpost::win32
