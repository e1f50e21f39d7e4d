#include "download/multi_port_page.h"

#include <array>

#include "app/colors.h"

namespace flashpost::download {

MultiPortPage::MultiPortPage(ui::PageControl& pages, app::PortBoard& board,
                             DownloadServices& services)
    : Sheet("McdPage", &pages), Options(Sheet, board, services, Edit25) {
  Sheet.SetCaption("MCD");
  Sheet.SetTabVisible(false);
  Sheet.SetGeometry({0, 0, 593, 653});

  Label18.SetGeometry({16, 8, 560, 20});
  Label18.SetFontColor(app::kNavy);
  Button1.SetCaption("Start");
  Button1.SetGeometry({16, 600, 90, 28});
  GroupBox1.SetCaption("Com Port List");
  GroupBox1.SetGeometry({16, 520, 300, 70});
  Label20.SetCaption("Waiting Time :");
  Label20.SetGeometry({330, 530, 90, 16});
  Edit25.SetText("10000");
  Edit25.SetGeometry({420, 526, 80, 21});

  for (int slot = 0; slot < 8; ++slot) {
    int top = 36 + slot * 40;
    StatusLabel(slot).SetGeometry({16, top, 440, 18});
    StatusLabel(slot).SetFontColor(app::kNavy);
    SlotProgressBar(slot).SetGeometry({16, top + 22, 440, 16});
    SlotProgressBar(slot).SetRange(0, 100);
    SlotProgressBar(slot).SetSmooth(true);
    PercentLabel(slot).SetGeometry({464, top + 22, 48, 16});
    PercentLabel(slot).SetCaption("0%");
  }
}

void MultiPortPage::RestoreControls(bool keep_start_disabled) {
  if (!keep_start_disabled) Button1.SetEnabled(true);
  Options.GroupBox18.SetEnabled(true);
  GroupBox1.SetEnabled(true);
  Edit25.SetReadOnly(false);
}

ui::Label& MultiPortPage::StatusLabel(int slot) {
  std::array<ui::Label*, 8> labels{&Label16, &Label1, &Label3,  &Label5,
                                   &Label7,  &Label9, &Label11, &Label13};
  return *labels.at(slot);
}

ui::ProgressBar& MultiPortPage::SlotProgressBar(int slot) {
  std::array<ui::ProgressBar*, 8> bars{&ProgressBar1, &ProgressBar2, &ProgressBar3, &ProgressBar4,
                                       &ProgressBar5, &ProgressBar6, &ProgressBar7, &ProgressBar8};
  return *bars.at(slot);
}

ui::Label& MultiPortPage::PercentLabel(int slot) {
  std::array<ui::Label*, 8> labels{&Label19, &Label2,  &Label4,  &Label6,
                                   &Label8,  &Label10, &Label12, &Label14};
  return *labels.at(slot);
}

}  // namespace flashpost::download
