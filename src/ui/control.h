#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace flashpost::ui {

// 24-bit colour in 0x00BBGGRR order.
using Color = uint32_t;

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

// Base of every control model: its form name, its place in the control tree, its geometry
// relative to the parent, and visibility and enable state. Views observe a control to learn of
// any change; the name of the changed property is passed along.
class Control {
 public:
  using Observer = std::function<void(Control&, std::string_view property)>;

  Control(std::string name, Control* parent);
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  const std::string& Name() const { return name_; }
  Control* Parent() const { return parent_; }
  const std::vector<Control*>& Children() const { return children_; }
  // The first control of this name in the subtree (this one included), or nullptr.
  Control* Find(std::string_view name);

  const Rect& Geometry() const { return geometry_; }
  void SetGeometry(Rect r);

  bool Visible() const { return visible_; }
  void SetVisible(bool v);

  // Own enable flag; a control whose parent is disabled is disabled too (IsEffectivelyEnabled).
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);
  bool IsEffectivelyEnabled() const;

  int AddObserver(Observer observer);
  void RemoveObserver(int id);

 protected:
  void Changed(std::string_view property);
  // Called on a live parent when a child leaves it (the child is already being destroyed), so
  // that the parent can forget any pointer it kept to it.
  virtual void ChildRemoved(Control* /*child*/) {}

 private:
  void NotifySubtree(std::string_view property);

  std::string name_;
  Control* parent_;
  std::vector<Control*> children_;
  Rect geometry_;
  bool visible_ = true;
  bool enabled_ = true;
  std::vector<std::pair<int, Observer>> observers_;
  int next_observer_ = 1;
};

class Label : public Control {
 public:
  using Control::Control;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  Color FontColor() const { return font_color_; }
  void SetFontColor(Color c);
  Color BackgroundColor() const { return background_; }
  void SetBackgroundColor(Color c);
  const std::string& FontName() const { return font_name_; }
  void SetFontName(std::string f);
  // Long captions break between words onto the label's further lines.
  bool WordWrap() const { return word_wrap_; }
  void SetWordWrap(bool w);

 private:
  std::string caption_;
  bool word_wrap_ = false;
  Color font_color_ = 0x000000;
  Color background_ = 0xF0F0F0;
  std::string font_name_ = "MS Sans Serif";
};

class Button : public Control {
 public:
  using Control::Control;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  std::function<void()> OnClick;
  // What a press does: nothing when the button is disabled or hidden.
  void Click();

 private:
  std::string caption_;
};

class Edit : public Control {
 public:
  using Control::Control;
  const std::string& Text() const { return text_; }
  // Cut to MaxLength when one is set, as typing would be.
  void SetText(std::string t);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool r);
  int MaxLength() const { return max_length_; }  // 0: no limit
  void SetMaxLength(int n);
  Color BackgroundColor() const { return color_; }
  void SetBackgroundColor(Color c);

 private:
  std::string text_;
  bool read_only_ = false;
  int max_length_ = 0;
  Color color_ = 0xFFFFFF;
};

// A control with a list of text items (combo box, check list box).
class ItemsControl : public Control {
 public:
  using Control::Control;
  const std::vector<std::string>& Items() const { return items_; }
  void ClearItems();
  void AddItem(std::string item);
  void SetItems(std::vector<std::string> items);

 protected:
  virtual void ItemsReplaced() {}
  std::vector<std::string> items_;
  // True while ItemsReplaced runs for AddItem, which only appends: state kept per item (the
  // checks of a check list box) stays valid for the items already there.
  bool items_appended_ = false;
};

class ComboBox : public ItemsControl {
 public:
  using ItemsControl::ItemsControl;
  // -1 when no item is selected. Selecting an item puts its text in the edit part.
  int ItemIndex() const { return item_index_; }
  void SetItemIndex(int i);
  const std::string& Text() const { return text_; }
  // Typed text; the item index follows the text when it matches an item.
  void SetText(std::string t);
  std::function<void()> OnChange;

 protected:
  void ItemsReplaced() override;

 private:
  int item_index_ = -1;
  std::string text_;
};

class CheckListBox : public ItemsControl {
 public:
  using ItemsControl::ItemsControl;
  bool Checked(int i) const;
  void SetChecked(int i, bool c);

 protected:
  void ItemsReplaced() override;

 private:
  std::vector<bool> checked_;
};

class CheckBox : public Control {
 public:
  using Control::Control;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  bool Checked() const { return checked_; }
  void SetChecked(bool c);
  std::function<void()> OnClick;
  // An operator's click: toggles when enabled, then runs OnClick.
  void Click();

 private:
  std::string caption_;
  bool checked_ = false;
};

// Radio buttons with the same parent form one group: checking one unchecks the others.
class RadioButton : public Control {
 public:
  using Control::Control;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  bool Checked() const { return checked_; }
  void SetChecked(bool c);
  std::function<void()> OnClick;
  void Click();

 private:
  std::string caption_;
  bool checked_ = false;
};

class Memo : public Control {
 public:
  using Control::Control;
  const std::vector<std::string>& Lines() const { return lines_; }
  int LineCount() const { return static_cast<int>(lines_.size()); }
  void AddLine(std::string line);
  void Clear();

 private:
  std::vector<std::string> lines_;
};

class ProgressBar : public Control {
 public:
  using Control::Control;
  int Min() const { return min_; }
  int Max() const { return max_; }
  void SetRange(int min, int max);
  int Position() const { return position_; }
  // Kept inside the range.
  void SetPosition(int p);
  bool Smooth() const { return smooth_; }
  void SetSmooth(bool s);

 private:
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
  bool smooth_ = false;
};

class StatusBar : public Control {
 public:
  struct Panel {
    int width = 0;
    std::string text;
  };
  using Control::Control;
  void AddPanel(int width);
  int PanelCount() const { return static_cast<int>(panels_.size()); }
  const Panel& PanelAt(int i) const { return panels_.at(i); }
  // Ignored for a panel that does not exist.
  void SetPanelText(int i, std::string text);

 private:
  std::vector<Panel> panels_;
};

// Disabling a group box disables every control inside it.
class GroupBox : public Control {
 public:
  using Control::Control;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);

 private:
  std::string caption_;
};

class TabSheet : public Control {
 public:
  using Control::Control;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  bool TabVisible() const { return tab_visible_; }
  void SetTabVisible(bool v);

 private:
  std::string caption_;
  bool tab_visible_ = true;
};

// The pages are the page control's TabSheet children, in creation order.
class PageControl : public Control {
 public:
  using Control::Control;
  std::vector<TabSheet*> Pages() const;
  TabSheet* ActivePage() const { return active_; }
  // Ignored unless page is one of Pages() or nullptr (no page shown).
  void SetActivePage(TabSheet* page);

 protected:
  void ChildRemoved(Control* child) override;

 private:
  TabSheet* active_ = nullptr;
};

// The top-level window.
class Form : public Control {
 public:
  Form(std::string name) : Control(std::move(name), nullptr) {}
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  int ClientWidth() const { return client_width_; }
  int ClientHeight() const { return client_height_; }
  void SetClientSize(int w, int h);
  bool FixedBorder() const { return fixed_border_; }
  bool MinimizeOnly() const { return minimize_only_; }
  void SetBorder(bool fixed, bool minimize_only);

 private:
  std::string caption_;
  int client_width_ = 0;
  int client_height_ = 0;
  bool fixed_border_ = false;
  bool minimize_only_ = false;
};

// A file chooser. The front end installs how to ask the operator; without one (headless), the
// dialog is cancelled unless a file name was preset for the run.
class OpenDialog : public Control {
 public:
  using Control::Control;
  const std::string& Filter() const { return filter_; }
  void SetFilter(std::string f);
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string f);
  // Asks for a file; true with FileName() set when one was chosen.
  bool Execute();
  std::function<bool(OpenDialog&)> Asker;

 private:
  std::string filter_;
  std::string file_name_;
};

}  // namespace flashpost::ui
