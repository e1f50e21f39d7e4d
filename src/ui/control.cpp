#include "ui/control.h"

#include <algorithm>
#include <utility>

namespace flashpost::ui {

namespace {

// Assigns and reports whether the value moved, so that observers hear only of real changes.
template <class T>
bool Assign(T& field, T value) {
  if (field == value) return false;
  field = std::move(value);
  return true;
}

// What the operator can see: the control and every ancestor are visible.
bool IsShowing(const Control& c) {
  for (const Control* p = &c; p != nullptr; p = p->Parent()) {
    if (!p->Visible()) return false;
  }
  return true;
}

bool AcceptsClick(const Control& c) { return c.IsEffectivelyEnabled() && IsShowing(c); }

}  // namespace

// ---- Control ----

Control::Control(std::string name, Control* parent) : name_(std::move(name)), parent_(parent) {
  if (parent_ != nullptr) parent_->children_.push_back(this);
}

Control::~Control() {
  // Children are members of page classes and may outlive their parent by a few destructor
  // calls; they must not reach back into it.
  for (Control* child : children_) child->parent_ = nullptr;
  if (parent_ != nullptr) {
    auto& siblings = parent_->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    parent_->ChildRemoved(this);
  }
}

Control* Control::Find(std::string_view name) {
  if (name_ == name) return this;
  for (Control* child : children_) {
    if (Control* found = child->Find(name)) return found;
  }
  return nullptr;
}

void Control::SetGeometry(Rect r) {
  if (Assign(geometry_, r)) Changed("geometry");
}

void Control::SetVisible(bool v) {
  if (Assign(visible_, v)) Changed("visible");
}

void Control::SetEnabled(bool e) {
  if (!Assign(enabled_, e)) return;
  Changed("enabled");
  // Every control inside has a new effective state; its view has to repaint.
  NotifySubtree("enabled");
}

bool Control::IsEffectivelyEnabled() const {
  for (const Control* p = this; p != nullptr; p = p->parent_) {
    if (!p->enabled_) return false;
  }
  return true;
}

int Control::AddObserver(Observer observer) {
  int id = next_observer_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void Control::RemoveObserver(int id) {
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void Control::Changed(std::string_view property) {
  // An observer may add or remove observers while it is called: walk a list of ids, and call a
  // copy so that removing the running observer does not destroy it under its own feet.
  std::vector<int> ids;
  ids.reserve(observers_.size());
  for (const auto& entry : observers_) ids.push_back(entry.first);
  for (int id : ids) {
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [id](const auto& entry) { return entry.first == id; });
    if (it == observers_.end()) continue;
    Observer observer = it->second;
    observer(*this, property);
  }
}

void Control::NotifySubtree(std::string_view property) {
  // By index: an observer may destroy a control of the tree, which shrinks the list.
  for (size_t i = 0; i < children_.size(); ++i) {
    Control* child = children_[i];
    child->Changed(property);
    if (i < children_.size() && children_[i] == child) child->NotifySubtree(property);
  }
}

// ---- Label ----

void Label::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void Label::SetFontColor(Color c) {
  if (Assign(font_color_, c)) Changed("fontColor");
}

void Label::SetBackgroundColor(Color c) {
  if (Assign(background_, c)) Changed("backgroundColor");
}

void Label::SetFontName(std::string f) {
  if (Assign(font_name_, std::move(f))) Changed("fontName");
}

void Label::SetWordWrap(bool w) {
  if (Assign(word_wrap_, w)) Changed("wordWrap");
}

// ---- Button ----

void Button::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void Button::Click() {
  if (AcceptsClick(*this) && OnClick) OnClick();
}

// ---- Edit ----

void Edit::SetText(std::string t) {
  if (max_length_ > 0 && t.size() > static_cast<size_t>(max_length_)) t.resize(max_length_);
  if (Assign(text_, std::move(t))) Changed("text");
}

void Edit::SetReadOnly(bool r) {
  if (Assign(read_only_, r)) Changed("readOnly");
}

void Edit::SetMaxLength(int n) {
  // Like the desktop edit, a new limit applies to what is typed next, not to the present text.
  if (Assign(max_length_, std::max(n, 0))) Changed("maxLength");
}

void Edit::SetBackgroundColor(Color c) {
  if (Assign(color_, c)) Changed("backgroundColor");
}

// ---- ItemsControl ----

void ItemsControl::ClearItems() {
  if (items_.empty()) return;
  items_.clear();
  ItemsReplaced();
  Changed("items");
}

void ItemsControl::AddItem(std::string item) {
  items_.push_back(std::move(item));
  items_appended_ = true;
  ItemsReplaced();
  items_appended_ = false;
  Changed("items");
}

void ItemsControl::SetItems(std::vector<std::string> items) {
  if (items == items_) return;
  items_ = std::move(items);
  ItemsReplaced();
  Changed("items");
}

// ---- ComboBox ----

namespace {

int IndexOf(const std::vector<std::string>& items, const std::string& text) {
  auto it = std::find(items.begin(), items.end(), text);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

}  // namespace

void ComboBox::SetItemIndex(int i) {
  bool in_range = i >= 0 && i < static_cast<int>(items_.size());
  // Out of range clears the selection only; the edit part keeps what was typed.
  bool index_changed = Assign(item_index_, in_range ? i : -1);
  bool text_changed = in_range && Assign(text_, items_[i]);
  if (text_changed) Changed("text");
  if (index_changed) Changed("itemIndex");
}

void ComboBox::SetText(std::string t) {
  bool text_changed = Assign(text_, std::move(t));
  bool index_changed = Assign(item_index_, IndexOf(items_, text_));
  if (text_changed) Changed("text");
  if (index_changed) Changed("itemIndex");
}

void ComboBox::ItemsReplaced() {
  if (Assign(item_index_, IndexOf(items_, text_))) Changed("itemIndex");
}

// ---- CheckListBox ----

bool CheckListBox::Checked(int i) const {
  return i >= 0 && i < static_cast<int>(checked_.size()) && checked_[i];
}

void CheckListBox::SetChecked(int i, bool c) {
  if (i < 0 || i >= static_cast<int>(checked_.size()) || checked_[i] == c) return;
  checked_[i] = c;
  Changed("checked");
}

void CheckListBox::ItemsReplaced() {
  // A check belongs to an item; after a new list it would mark whatever now sits at its place.
  if (!items_appended_) checked_.clear();
  checked_.resize(items_.size(), false);
}

// ---- CheckBox ----

void CheckBox::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void CheckBox::SetChecked(bool c) {
  if (Assign(checked_, c)) Changed("checked");
}

void CheckBox::Click() {
  if (!AcceptsClick(*this)) return;
  SetChecked(!checked_);
  if (OnClick) OnClick();
}

// ---- RadioButton ----

void RadioButton::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void RadioButton::SetChecked(bool c) {
  if (checked_ == c) return;
  if (c && Parent() != nullptr) {
    // Siblings first, so that no observer ever sees two checked buttons in one group.
    for (Control* sibling : Parent()->Children()) {
      if (sibling == this) continue;
      if (auto* radio = dynamic_cast<RadioButton*>(sibling)) radio->SetChecked(false);
    }
  }
  checked_ = c;
  Changed("checked");
}

void RadioButton::Click() {
  if (!AcceptsClick(*this)) return;
  SetChecked(true);
  if (OnClick) OnClick();
}

// ---- Memo ----

void Memo::AddLine(std::string line) {
  lines_.push_back(std::move(line));
  Changed("lines");
}

void Memo::Clear() {
  if (lines_.empty()) return;
  lines_.clear();
  Changed("lines");
}

// ---- ProgressBar ----

void ProgressBar::SetRange(int min, int max) {
  if (max < min) max = min;
  bool min_changed = Assign(min_, min);
  bool range_changed = Assign(max_, max) || min_changed;
  bool position_changed = Assign(position_, std::clamp(position_, min_, max_));
  if (range_changed) Changed("range");
  if (position_changed) Changed("position");
}

void ProgressBar::SetPosition(int p) {
  if (Assign(position_, std::clamp(p, min_, max_))) Changed("position");
}

void ProgressBar::SetSmooth(bool s) {
  if (Assign(smooth_, s)) Changed("smooth");
}

// ---- StatusBar ----

void StatusBar::AddPanel(int width) {
  panels_.push_back(Panel{width, {}});
  Changed("panels");
}

void StatusBar::SetPanelText(int i, std::string text) {
  if (i < 0 || i >= static_cast<int>(panels_.size())) return;
  if (Assign(panels_[i].text, std::move(text))) Changed("panelText");
}

// ---- GroupBox, TabSheet ----

void GroupBox::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void TabSheet::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void TabSheet::SetTabVisible(bool v) {
  if (Assign(tab_visible_, v)) Changed("tabVisible");
}

// ---- PageControl ----

std::vector<TabSheet*> PageControl::Pages() const {
  std::vector<TabSheet*> pages;
  for (Control* child : Children()) {
    if (auto* sheet = dynamic_cast<TabSheet*>(child)) pages.push_back(sheet);
  }
  return pages;
}

void PageControl::SetActivePage(TabSheet* page) {
  if (page != nullptr && page->Parent() != this) return;
  if (Assign(active_, page)) Changed("activePage");
}

void PageControl::ChildRemoved(Control*) {
  // The leaving child is a bare Control by now and must not be cast; instead the active page
  // has to be one of the sheets that remain.
  if (active_ == nullptr) return;
  for (TabSheet* page : Pages()) {
    if (page == active_) return;
  }
  active_ = nullptr;
  Changed("activePage");
}

// ---- Form ----

void Form::SetCaption(std::string c) {
  if (Assign(caption_, std::move(c))) Changed("caption");
}

void Form::SetClientSize(int w, int h) {
  bool width_changed = Assign(client_width_, w);
  if (Assign(client_height_, h) || width_changed) Changed("clientSize");
}

void Form::SetBorder(bool fixed, bool minimize_only) {
  bool fixed_changed = Assign(fixed_border_, fixed);
  if (Assign(minimize_only_, minimize_only) || fixed_changed) Changed("border");
}

// ---- OpenDialog ----

void OpenDialog::SetFilter(std::string f) {
  if (Assign(filter_, std::move(f))) Changed("filter");
}

void OpenDialog::SetFileName(std::string f) {
  if (Assign(file_name_, std::move(f))) Changed("fileName");
}

bool OpenDialog::Execute() {
  // Headless there is nobody to ask: cancelled. A preset file name is for the asker to use.
  if (!Asker) return false;
  return Asker(*this);
}

}  // namespace flashpost::ui
