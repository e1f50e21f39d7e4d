#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "board/port_board.h"
#include "ui/control.h"
#include "ui/stop_signal.h"

namespace flashpost::serial {

// Every port runs 8N1 with a 100 ms read time-out, and the receive loops read it one byte per
// call, so each read yields one byte or returns empty after 100 ms. A write has no time-out: it
// ends when every byte is handed over, the port fails or closes, or its caller gives up.
inline constexpr uint32_t kReadTimeoutMs = 100;
// More than this many bytes already waiting at open are stale traffic and are dropped.
inline constexpr size_t kStaleInputLimit = 1024;

// The speed of a baud text such as "115200"; nothing for a text that is not a plain positive
// decimal number.
std::optional<uint32_t> ParseBaudText(std::string_view baud_text);

// Opens the port for the slot, configured 8N1 at the baud text's speed. 1 on success; 0 with the
// slot's status line telling why otherwise, and the OS's reason for a port that did not open in
// the slot's OpenFailureText.
int OpenPort(app::PortBoard& board, const std::string& port_name, const std::string& baud_text,
             int slot);

// Moves the slot's open port to another speed, 8N1 as before, keeping what has arrived. 1 on
// success; 0 with the slot's status line telling why (no port, or a speed the driver refuses).
int SetPortSpeed(app::PortBoard& board, const std::string& baud_text, int slot);

// Closes the slot's port: what was written let out at the port's speed, pending read and input
// abandoned, the settings the port had before this open put back (never echoing), RTS and DTR
// dropped. Does nothing for a slot whose port is not open. 1 when a port
// was closed.
int ClosePort(app::PortBoard& board, int slot);
// Closes the slot's port when its reads are enabled; how every job leaves its port.
void CloseIfOpen(app::PortBoard& board, int slot);

// Replaces the items of every list with the machine's serial ports and counts them.
void ScanPorts(app::PortBoard& board, std::initializer_list<ui::ItemsControl*> lists);

// Reads up to n bytes from the slot's port: returns when n arrived or after the read time-out.
// A slot without an open port behaves like a silent line. A reader that gives its stop request
// has that silence cut short when it is asked to stop: a stop closes the port, and may do so
// just as the reader is about to read.
size_t ReadPort(app::PortBoard& board, int slot, uint8_t* buffer, size_t n,
                const ui::StopSignal* stop = nullptr);
// Reads one byte; nothing after the read time-out.
std::optional<uint8_t> ReadPortByte(app::PortBoard& board, int slot,
                                    const ui::StopSignal* stop = nullptr);

// Writes every byte in one call; false when the slot has no open port or the write failed, or
// once give_up is set (what was handed over before that has gone out).
bool WritePort(app::PortBoard& board, int slot, const uint8_t* data, size_t n,
               const std::atomic<bool>* give_up = nullptr);
bool WritePort(app::PortBoard& board, int slot, std::string_view text,
               const std::atomic<bool>* give_up = nullptr);

// Bytes waiting in the slot's receive queue (0 without an open port).
size_t PortBytesWaiting(app::PortBoard& board, int slot);
void PurgePort(app::PortBoard& board, int slot, bool receive, bool transmit);

}  // namespace flashpost::serial
