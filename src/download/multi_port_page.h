#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "board/port_board.h"
#include "download/port_selection.h"
#include "download/update_options.h"
#include "download/update_procedures.h"
#include "platform/file.h"
#include "ui/control.h"
#include "ui/timer.h"

namespace flashpost::download {

// The multi-port download page ("MCD"): one job of the "Update Option" group on up to eight
// modules at once, one checked port per slot 0..7, each slot with its own worker, status box and
// progress bar. Its tab is hidden in normal use.
class MultiPortPage {
 public:
  struct Context {
    app::PortBoard& board;
    DownloadServices& services;
    ui::Timer& timer1;  // the board refresh
    ui::Timer& timer2;  // the C/N0 page's judging
    ui::StatusBar& status_bar;
    ui::OpenDialog& open_dialog;
    ui::Button& eraser_start;  // the flash eraser's Start, kept off while a run starts
    // Creates and starts the slot's worker.
    std::function<void(int slot)> start_worker;
    // Every slot's calibration sequence back to its start, before a calibration run.
    std::function<void()> reset_calibration;
    // "Scan ComPort": every page's port list.
    std::function<void()> scan_ports;
    // Drops what the terminal reader is assembling (Button11).
    std::function<void()> clear_reader_assembly;
  };

  MultiPortPage(ui::PageControl& pages, Context context);

  void Button2Click();  // Select
  void Button1Click();  // Start
  void Button7Click();  // Stop

  // Steps of Start.
  bool CollectSelectedPorts();  // true: a checked port is the open terminal port
  void ResetSlotStatus();
  void ShowSelectedPorts();
  // Opens a module's port for a calibration at the terminal page's last baud rate.
  bool OpenSlotPort(const std::string& port_name, int slot);

  // Gives the page's controls back after a slot's job (the flash eraser's Start, elsewhere, is
  // enabled by the form).
  void RestoreControls(bool keep_start_disabled);

  // Lets go of the file chosen with Select.
  void ReleaseFile() { file_.reset(); }

  // The selected file's size; nothing before a Select or when its file could not be opened.
  std::optional<uint64_t> SelectedFileSize() const;

  ui::TabSheet Sheet;

  ui::GroupBox GroupBox1{"GroupBox1", &Sheet};  // "Com Port List"
  ui::CheckListBox ComPortList{"ComPortList", &GroupBox1};
  ui::Button Button16{"Button16", &GroupBox1};  // Scan ComPort

  ui::GroupBox GroupBox2{"GroupBox2", &Sheet};  // "Open File"
  ui::Label Label20{"Label20", &GroupBox2};
  ui::Edit Edit18{"Edit18", &GroupBox2};  // the selected file's path
  ui::Button Button2{"Button2", &GroupBox2};

  ui::GroupBox GroupBox10{"GroupBox10", &Sheet};  // "Run MCD Downloader"
  ui::Label Label17{"Label17", &GroupBox10};
  ui::Edit Edit25{"Edit25", &GroupBox10};      // wait limit in ms for every NAK and ACK wait
  ui::Button Button1{"Button1", &GroupBox10};  // Start
  ui::Button Button7{"Button7", &GroupBox10};  // Stop
  ui::Button Button11{"Button11", &GroupBox10};

  ui::GroupBox GroupBox16{"GroupBox16", &Sheet};  // "Message"
  ui::Label Label18{"Label18", &GroupBox16};

  UpdateOptionsGroup Options;

  ui::GroupBox GroupBox14{"GroupBox14", &Sheet};  // "Download  Status "
  // Slot boxes 0..7, each with a status line, a percentage and a progress bar.
  ui::GroupBox GroupBox3{"GroupBox3", &GroupBox14};
  ui::Label Label16{"Label16", &GroupBox3};
  ui::Label Label19{"Label19", &GroupBox3};
  ui::ProgressBar ProgressBar1{"ProgressBar1", &GroupBox3};
  ui::GroupBox GroupBox4{"GroupBox4", &GroupBox14};
  ui::Label Label1{"Label1", &GroupBox4};
  ui::Label Label2{"Label2", &GroupBox4};
  ui::ProgressBar ProgressBar2{"ProgressBar2", &GroupBox4};
  ui::GroupBox GroupBox5{"GroupBox5", &GroupBox14};
  ui::Label Label3{"Label3", &GroupBox5};
  ui::Label Label4{"Label4", &GroupBox5};
  ui::ProgressBar ProgressBar3{"ProgressBar3", &GroupBox5};
  ui::GroupBox GroupBox6{"GroupBox6", &GroupBox14};
  ui::Label Label5{"Label5", &GroupBox6};
  ui::Label Label6{"Label6", &GroupBox6};
  ui::ProgressBar ProgressBar4{"ProgressBar4", &GroupBox6};
  ui::GroupBox GroupBox7{"GroupBox7", &GroupBox14};
  ui::Label Label7{"Label7", &GroupBox7};
  ui::Label Label8{"Label8", &GroupBox7};
  ui::ProgressBar ProgressBar5{"ProgressBar5", &GroupBox7};
  ui::GroupBox GroupBox8{"GroupBox8", &GroupBox14};
  ui::Label Label9{"Label9", &GroupBox8};
  ui::Label Label10{"Label10", &GroupBox8};
  ui::ProgressBar ProgressBar6{"ProgressBar6", &GroupBox8};
  ui::GroupBox GroupBox11{"GroupBox11", &GroupBox14};
  ui::Label Label11{"Label11", &GroupBox11};
  ui::Label Label12{"Label12", &GroupBox11};
  ui::ProgressBar ProgressBar7{"ProgressBar7", &GroupBox11};
  ui::GroupBox GroupBox12{"GroupBox12", &GroupBox14};
  ui::Label Label13{"Label13", &GroupBox12};
  ui::Label Label14{"Label14", &GroupBox12};
  ui::ProgressBar ProgressBar8{"ProgressBar8", &GroupBox12};

  // Slot k's box, status label, progress bar and percentage label, k in 0..7.
  ui::GroupBox& SlotBox(int slot);
  ui::Label& StatusLabel(int slot);
  ui::ProgressBar& SlotProgressBar(int slot);
  ui::Label& PercentLabel(int slot);

 private:
  // Ends a refused Start: the message in red and the controls back. Edit25 stays read-only after
  // the port count checks, as the operator only has to change the ticks.
  void Refuse(const char* text, bool edit_waiting_time = true);
  // Start's calibration part for slot 0: false when the reference receiver is not open.
  bool StartSlotZeroCalibration();
  SlotBoxes Boxes();

  Context context_;
  std::unique_ptr<platform::HeldFile> file_;
};

}  // namespace flashpost::download
