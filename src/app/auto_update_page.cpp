#include "app/auto_update_page.h"

#include <string>

#include "app/colors.h"

namespace flashpost::app {

namespace {
constexpr ui::Color kSilver = 0xC0C0C0;
}

AutoUpdatePage::AutoUpdatePage(ui::PageControl& pages) : Sheet("AutoUpdatePage", &pages) {
  Sheet.SetCaption("AutoUpdatePage");
  Sheet.SetGeometry({0, 0, 593, 653});

  Label63.SetCaption("Flashpost");
  Label63.SetFontName("Arial");
  Label63.SetFontColor(kNavy);
  Label63.SetBackgroundColor(kSilver);
  Label63.SetGeometry({8, 8, 289, 22});

  ProgressBar17.SetRange(0, 100);
  ProgressBar17.SetSmooth(true);
  ProgressBar17.SetGeometry({8, 38, 240, 16});
  Label64.SetCaption("0%");
  Label64.SetGeometry({256, 38, 41, 16});

  Label57.SetCaption("COM Port :");
  Label57.SetGeometry({8, 68, 72, 16});
  ComboBox6.SetGeometry({84, 64, 104, 21});
  // Design-time list; the port scan at window creation replaces it.
  for (int n = 1; n <= 40; ++n) ComboBox6.AddItem("COM" + std::to_string(n));

  Label26.SetCaption("Baud Rate :");
  Label26.SetGeometry({8, 98, 72, 16});
  ComboBox9.SetGeometry({84, 94, 104, 21});
  ComboBox9.SetItems({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
  ComboBox9.SetText("115200");

  Button12.SetCaption("Scan ComPort");
  Button12.SetGeometry({196, 62, 101, 25});
  Button13.SetCaption("OK");
  Button13.SetGeometry({196, 92, 101, 25});
}

}  // namespace flashpost::app
