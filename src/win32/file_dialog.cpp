#include "win32/file_dialog.h"

#include <cderr.h>
#include <commdlg.h>

#include <vector>

#include "win32/form_view.h"

namespace flashpost::win32 {

namespace {

std::string Trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> Split(const std::string& s, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t end = s.find(separator, start);
    fields.push_back(s.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// Room for the chosen path; the dialog fails rather than cut a longer one.
constexpr size_t kPathRoom = 32768;

}  // namespace

std::string Win32FileFilter(const std::string& filter) {
  const std::vector<std::string> fields = Split(filter, '|');
  std::string pairs;
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string description = Trimmed(fields[i]);
    const std::string patterns = Trimmed(fields[i + 1]);
    // An empty field would read as the end of the list.
    if (description.empty() || patterns.empty()) continue;
    pairs += description + '\0' + patterns + '\0';
  }
  if (!pairs.empty()) pairs += '\0';
  return pairs;
}

std::string AskWithOpenFileDialog(HWND owner, const std::string& preset,
                                  const std::string& filter) {
  for (const std::string& start : {preset, std::string()}) {
    std::vector<char> path(kPathRoom, '\0');
    start.copy(path.data(), path.size() - 1);
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.Flags =
        OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (GetOpenFileNameA(&dialog)) return path.data();
    // A preset the dialog cannot start from (a name from another system) is dropped and the
    // dialog asked again; anything else is the operator's cancel.
    if (CommDlgExtendedError() != FNERR_INVALIDFILENAME || start.empty()) return {};
  }
  return {};
}

void FormView::InstallAsker(ui::OpenDialog& dialog) {
  if (!options_.ask_open_file) options_.ask_open_file = AskWithOpenFileDialog;
  dialog.Asker = [this](ui::OpenDialog& d) {
    const std::string name =
        options_.ask_open_file(root_, d.FileName(), Win32FileFilter(d.Filter()));
    if (name.empty()) return false;
    d.SetFileName(name);
    return true;
  };
  dialogs_.push_back(&dialog);
}

}  // namespace flashpost::win32
